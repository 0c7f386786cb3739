#pragma once
#include "app/SessionStatus.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

class BroadcastSession;
class QLabel;
class TElidedLabel;

// The broadcast's part of the status bar: the state first and never cut
// ("LIVE 00:12:31", "Connecting…", "Server lost — retrying in 4 s (attempt 3)"),
// then the figures or the cause, cut with "…" when the window is narrow. The
// whole line is the tool tip of both. While live, the clock runs each second.
class StatusArea : public QWidget
{
    Q_OBJECT
public:
    explicit StatusArea(QWidget *parent = nullptr);

    // Shows the session's status from now on.
    void follow(const BroadcastSession *session);
    // A Start the form refused before any session began.
    void showProblem(const QString &text);
    void showStatus(const SessionStatus &status);

    const SessionStatus &shown() const { return m_shown; }
    QString fullText() const { return m_shown.fullText(); }
    // Extra widgets (the sound meter) go after the texts.
    void addTrailingWidget(QWidget *widget);

private:
    void refresh();

    QPointer<const BroadcastSession> m_session;
    QLabel *m_state = nullptr;
    TElidedLabel *m_details = nullptr;
    SessionStatus m_shown;
    QTimer m_clock;
};
