#pragma once
#include <QObject>

class BroadcastSession;
class FormSettings;
class LinkConsent;
class Mixer;
class PageSwitcher;
class PlayerWorker;
class QLabel;
class QLineEdit;
class QPushButton;
class QStatusBar;
class QWidget;
class ScreenPause;
class StatusArea;

// Start and Stop as the window offers them: the server field checked, the
// broadcast session set going with the form's plan, its state on the status
// line (with the screen pause and the passphrase field's notices), and the
// pages and arrows following it. A broadcast runs while the session is active.
class BroadcastControl : public QObject
{
    Q_OBJECT
public:
    // The window (parent of the boxes and the status line's parts), the
    // fields read at Start, the picture the feedback plays into and the
    // widgets whose notices follow the session.
    struct Widgets
    {
        QWidget *window;
        QLineEdit *txtURL;
        QLineEdit *txtPassphrase;
        QLabel *lblStudioPreview;
        QPushButton *pauseBtn;
        QStatusBar *statusbar;
    };
    // What the control uses and does not own.
    struct Parts
    {
        FormSettings *form;
        PageSwitcher *pages;
        LinkConsent *consent;
        Mixer *mixer;
        PlayerWorker *player;
    };

    // The session is this object's child: it ends with it.
    BroadcastControl(const Widgets &widgets, const Parts &parts, QObject *parent = nullptr);

    bool isActive() const;
    // Start when no broadcast runs, Stop otherwise.
    void toggle();
    void stop();
    // Ctrl+P in this window pauses the screen too.
    void addShortcutWindow(QWidget *window);

signals:
    // The first connection of a broadcast is up.
    void started();

private:
    bool start();
    void finishPageStep();

    Widgets m_ui;
    Parts m_parts;
    BroadcastSession *m_session;
    StatusArea *m_statusArea;
    ScreenPause *m_screenPause;
};
