#pragma once
#include "app/session/BroadcastPlan.h"
#include "app/links/LinkFields.h"

#include <QString>
#include <QStringList>
#include <QVariant>

#include <functional>
#include <memory>
#include <vector>

class PassphraseStore;
class QAction;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QRadioButton;
class QSettings;
class QSpinBox;

// The advanced form and the source choice against the settings store, as one
// table of key, default and the widget's value: what loadSettings reads,
// saveSettings writes, and a link's fields fill in.
class FormSettings
{
public:
    // The fields of the advanced form, the boxes and menu entry stored with
    // them, and the source choice.
    struct Widgets
    {
        QLineEdit *txtURL;
        QLineEdit *txtStreamID;
        QLineEdit *txtPassphrase;
        QSpinBox *spbVBR;
        QSpinBox *spbLatency;
        QComboBox *cmbABR;
        QComboBox *cmbEncs;
        QComboBox *cmbFrames;
        QCheckBox *chkCombined;
        QCheckBox *chkSystemAudio;
        QCheckBox *chkAdaptRate;
        QCheckBox *chkAdaptLatency;
        QAction *actionKeep_Copy;
        QRadioButton *rbCamera;
        QRadioButton *rbScreen;
        QRadioButton *rbMix;
    };

    FormSettings(const Widgets &widgets, QSettings *settings);
    ~FormSettings();

    // The frame sizes with their pictures' sizes as item data.
    void fillFrameSizes() const;
    // The encoders this machine offers (the writer's codec as item data) and
    // the sound bit rates, before the stored choices are made.
    void fillChoices() const;
    // The broadcast the form describes, for the server field as parsed.
    BroadcastPlan broadcastPlan(const ServerField &server) const;
    // The advanced form's fields as a link carries them.
    LinkFields linkFields() const;

    // Fills the form's fields from the store (the two-frames box excepted:
    // the window decides it with the source choice).
    void load() const;
    // The stored two-frames choice.
    bool storedTwoFrames() const;
    // Writes every field, the source choice included.
    void save() const;
    // Clicks the stored source's radio button ("MODE": CAMERA, SCREEN, MIX;
    // empty is CAMERA; anything else clicks nothing).
    void applyMode() const;
    // What a broadcast started by this link would carry, in words.
    QStringList sentWith(const QString &link) const;
    // The fields a link carries; empty fields keep the form's value, the
    // two-frames mode and the passphrase always follow the link.
    void applyLink(const QString &link) const;

private:
    struct Field
    {
        QString key;
        QVariant fallback;
        std::function<QVariant()> read;
        std::function<void(const QVariant &)> write;  // none: not loaded by the table
    };
    std::vector<Field> fields() const;
    QString modeText() const;

    Widgets m_ui;
    QSettings *m_settings;
    // The passphrase is kept apart from the other fields: in the secret store.
    std::unique_ptr<PassphraseStore> m_passphrase;
};
