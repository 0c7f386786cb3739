#pragma once
#include "app/session/BroadcastSession.h"

#include <QObject>

class Mixer;
class QLabel;
class QPushButton;
class QWidget;
class StatusArea;

// The user hides his screen from the broadcast for a moment (a password to
// type, a private message) without ending the session: the mixer shows a
// card in its place, camera, sound, return picture and arrows go on. The
// preview page's button and Ctrl+P (in the main window and in the capture
// frame's tool bar) toggle it while a broadcast runs; the status line says
// "Screen paused" beside the broadcast's state. A broadcast that ends ends
// the pause.
class ScreenPause : public QObject
{
    Q_OBJECT
public:
    static const char *const kPausedText;
    static const char *const kPauseText;
    static const char *const kResumeText;

    ScreenPause(Mixer *mixer, QPushButton *button, StatusArea *status, QObject *parent = nullptr);

    // Ctrl+P in this window toggles the pause.
    void addShortcutWindow(QWidget *window);
    void follow(const BroadcastSession *session);

    bool isPaused() const;
    // Ignored while no broadcast runs.
    void setPaused(bool on);
    void toggle() { setPaused(!isPaused()); }

signals:
    void pausedChanged(bool paused);

private:
    void sessionStateChanged(BroadcastSession::State state);
    void show(bool paused);

    Mixer *m_mixer;
    QPushButton *m_button;
    QLabel *m_label;
    bool m_available = false;
};
