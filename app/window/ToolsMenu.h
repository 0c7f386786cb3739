#pragma once
#include <QObject>

#include <functional>

class FormSettings;
class LinkConsent;
class LogsDlg;
class QComboBox;
class QLineEdit;
class QSpinBox;
class QStatusBar;
class QWidget;
class SpeedTest;

// What the Tools menu opens or does: the speed test for the form's server,
// the log viewer, the portable copy of the program and the link on the
// clipboard, both carrying the advanced form's fields.
class ToolsMenu : public QObject
{
    Q_OBJECT
public:
    // The window (parent of the dialogs and boxes), its status line for the
    // notices, and the fields the speed test starts from and sets.
    struct Widgets
    {
        QWidget *window;
        QStatusBar *statusbar;
        QLineEdit *txtURL;
        QLineEdit *txtStreamID;
        QLineEdit *txtPassphrase;
        QSpinBox *spbVBR;
        QSpinBox *spbLatency;
        QComboBox *cmbABR;
    };

    // keepAbove ties a window opened from here above the main window.
    ToolsMenu(const Widgets &widgets, const FormSettings *form, LinkConsent *consent, LogsDlg *logs,
              std::function<void(QWidget *)> keepAbove);

    void openSpeedTest();
    void openLogs();
    void exportDistributive();
    void copyLink();
    // The advanced form's fields as a link (server/stream/vbr/abr/frame[/DBL]).
    QString buildLink() const;

private:
    Widgets m_ui;
    const FormSettings *m_form;
    LinkConsent *m_consent;
    LogsDlg *m_logs;
    std::function<void(QWidget *)> m_keepAbove;
    SpeedTest *m_speedTest;
};
