#pragma once
#include <QObject>

class Mixer;
class QAction;
class QMenu;
class QSettings;

// "Echo cancellation" and "Noise suppression": two check entries at the foot
// of the sound source menu, on unless the user turned them off (ECHO_CANCEL,
// NOISE_SUPPRESS). Each change is stored and handed to the mixer at once;
// the mixer gets the stored choice when this is made.
class SoundProcessingChoices : public QObject
{
    Q_OBJECT
public:
    SoundProcessingChoices(QSettings *settings, Mixer *mixer, QObject *parent = nullptr);

    // Adds both entries, under a separator, at the end of menu (which keeps
    // its own entries; these stay owned here, so clearing the menu keeps them).
    void appendTo(QMenu *menu) const;
    bool owns(const QAction *action) const;

    QAction *echoCancellation() const { return m_echoCancellation; }
    QAction *noiseSuppression() const { return m_noiseSuppression; }

private:
    QAction *makeChoice(const QString &text, const QString &objectName, const QString &key);
    void apply();

    QSettings *m_settings;
    Mixer *m_mixer;
    QAction *m_echoCancellation;
    QAction *m_noiseSuppression;
};
