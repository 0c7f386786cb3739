#include "app/window/StatusArea.h"

#include "app/session/BroadcastSession.h"
#include "app/widgets/TElidedLabel.h"

#include "OrvantaVersion.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStatusBar>

namespace {
constexpr int kClockPeriodMs = 1000;

// The state's colours on the window's dark background: live is the red tally
// of a studio, trouble amber, a failure red text.
QString stateStyle(SessionStatus::Tone tone)
{
    switch (tone) {
    case SessionStatus::Tone::Good:
        return QStringLiteral("QLabel{background-color: #c8102e; color: white; border-radius: 3px;"
                              " padding: 0px 4px; font-weight: bold;}");
    case SessionStatus::Tone::Warning:
        return QStringLiteral("QLabel{color: #ffb020; font-weight: bold;}");
    case SessionStatus::Tone::Error:
        return QStringLiteral("QLabel{color: #ff6b5a; font-weight: bold;}");
    case SessionStatus::Tone::Neutral:
        break;
    }
    return QStringLiteral("QLabel{font-weight: bold;}");
}

QString detailStyle(SessionStatus::Tone tone)
{
    switch (tone) {
    case SessionStatus::Tone::Warning:
        return QStringLiteral("QLabel{color: #ffb020;}");
    case SessionStatus::Tone::Error:
        return QStringLiteral("QLabel{color: #ff6b5a;}");
    default:
        return QString();
    }
}
} // namespace

StatusArea::StatusArea(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("statusArea"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    m_state = new QLabel(this);
    m_state->setObjectName(QStringLiteral("sessionState"));
    m_state->setTextFormat(Qt::PlainText);
    m_state->hide();
    m_details = new TElidedLabel(this);
    m_details->setObjectName(QStringLiteral("sessionStatus"));
    m_details->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    layout->addWidget(m_state);
    layout->addWidget(m_details, 1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);

    m_clock.setInterval(kClockPeriodMs);
    connect(&m_clock, &QTimer::timeout, this, &StatusArea::refresh);
}

void StatusArea::install(QStatusBar *bar)
{
    bar->setSizeGripEnabled(false);
    bar->insertWidget(0, this, 1);
    auto *version = new TElidedLabel(bar);
    version->setObjectName(QStringLiteral("versionLabel"));
    version->setText(QStringLiteral(" ver %1 (build %2)").arg(QLatin1String(ORVANTA_VERSION)).arg(ORVANTA_BUILD_NUMBER));
    version->setToolTip(version->text().trimmed());
    bar->addWidget(version, 0);

    auto *cpuLabel = new QLabel(bar);
    cpuLabel->setObjectName(QStringLiteral("cpuLabel"));
    bar->addPermanentWidget(cpuLabel, 0);
    connect(&m_cpuTimer, &QTimer::timeout, cpuLabel, [this, cpuLabel] { cpuLabel->setText(m_cpuLoad.update()); });
    m_cpuTimer.start(kCpuPeriodMs);
    // Shown from the start (the load since boot), not only after the first period.
    cpuLabel->setText(m_cpuLoad.update());
    cpuLabel->setToolTip(QStringLiteral("Total CPU activity"));
}

void StatusArea::follow(const BroadcastSession *session)
{
    m_session = session;
    connect(session, &BroadcastSession::statusChanged, this, &StatusArea::refresh);
    connect(session, &BroadcastSession::stateChanged, this, [this](BroadcastSession::State state) {
        if (state == BroadcastSession::State::Live)
            m_clock.start();
        else
            m_clock.stop();
    });
}

void StatusArea::refresh()
{
    if (m_session)
        showStatus(m_session->status(), m_session->copyNote());
}

void StatusArea::showProblem(const QString &text)
{
    showStatus({QString(), text, SessionStatus::Tone::Error});
}

void StatusArea::showStatus(const SessionStatus &status, const QString &aside)
{
    // A style sheet is set only when the tone changes: the clock ticks each second.
    const bool toneChanged = status.tone != m_shown.tone || m_state->styleSheet().isEmpty();
    m_shown = status;
    m_state->setText(status.state);
    m_state->setVisible(!status.state.isEmpty());
    m_details->setText(status.details);
    if (toneChanged) {
        m_state->setStyleSheet(stateStyle(status.tone));
        m_details->setStyleSheet(detailStyle(status.tone));
    }
    const QString full = status.fullText();
    const QString tip = aside.isEmpty() ? full : full + QLatin1Char('\n') + aside;
    setToolTip(tip);
    m_state->setToolTip(tip);
    m_details->setToolTip(tip);
    setAccessibleName(full);
}

void StatusArea::addStateCompanion(QWidget *widget)
{
    auto *row = static_cast<QHBoxLayout *>(layout());
    row->insertWidget(row->indexOf(m_state) + 1, widget);
}

void StatusArea::addTrailingWidget(QWidget *widget)
{
    layout()->addWidget(widget);
}
