#pragma once
#include "app/services/CpuLoad.h"
#include "app/session/SessionStatus.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

class BroadcastSession;
class QLabel;
class QStatusBar;
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

    static constexpr int kCpuPeriodMs = 3000;
    // Puts the area first in the bar, the program's version after it (it
    // gives way on a narrow window, whole in its tool tip) and the CPU
    // indicator at the right, updated every 3 s. The bar has no size grip:
    // the window's edge resizes it, the grip would only take room.
    void install(QStatusBar *bar);

    // Shows the session's status from now on.
    void follow(const BroadcastSession *session);
    // A Start the form refused before any session began.
    void showProblem(const QString &text);
    // aside: a line only the tool tip shows (where the copy goes).
    void showStatus(const SessionStatus &status, const QString &aside = QString());

    const SessionStatus &shown() const { return m_shown; }
    QString fullText() const { return m_shown.fullText(); }
    // Extra widgets (the sound meter) go after the texts.
    void addTrailingWidget(QWidget *widget);
    // A widget that qualifies the state ("Screen paused") goes right after it.
    void addStateCompanion(QWidget *widget);

private:
    void refresh();

    QPointer<const BroadcastSession> m_session;
    QLabel *m_state = nullptr;
    TElidedLabel *m_details = nullptr;
    SessionStatus m_shown;
    QTimer m_clock;
    CpuLoad m_cpuLoad;
    QTimer m_cpuTimer;
};
