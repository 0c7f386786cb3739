#include "app/window/ScreenPause.h"

#include "diagnostics/LogLine.h"
#include "media/Mixer.h"
#include "media/PauseCard.h"
#include "app/window/StatusArea.h"

#include <QLabel>
#include <QPushButton>
#include <QShortcut>

const char *const ScreenPause::kPausedText = PauseCard::kText;
const char *const ScreenPause::kPauseText = "Pause screen";
const char *const ScreenPause::kResumeText = "Resume screen";

ScreenPause::ScreenPause(Mixer *mixer, QPushButton *button, StatusArea *status, QObject *parent)
    : QObject(parent), m_mixer(mixer), m_button(button), m_label(new QLabel(QString::fromUtf8(kPausedText), status))
{
    m_label->setObjectName(QStringLiteral("screenPausedStatus"));
    m_label->setStyleSheet(QStringLiteral("QLabel{color: #ffb020; font-weight: bold;}"));
    m_label->hide();
    status->addStateCompanion(m_label);
    m_button->setCheckable(true);
    m_button->setEnabled(false);
    m_button->setText(QString::fromUtf8(kPauseText));
    connect(m_button, &QPushButton::clicked, this, &ScreenPause::setPaused);
}

void ScreenPause::addShortcutWindow(QWidget *window)
{
    auto *shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_P), window);
    shortcut->setContext(Qt::WindowShortcut);
    connect(shortcut, &QShortcut::activated, this, &ScreenPause::toggle);
}

void ScreenPause::follow(const BroadcastSession *session)
{
    connect(session, &BroadcastSession::stateChanged, this, &ScreenPause::sessionStateChanged);
    sessionStateChanged(session->state());
}

bool ScreenPause::isPaused() const
{
    return m_mixer->isScreenPaused();
}

void ScreenPause::setPaused(bool on)
{
    on = on && m_available;
    if (on != isPaused()) {
        m_mixer->setScreenPaused(on);
        logLine(on ? QString::fromUtf8(kPausedText) : QStringLiteral("Screen resumed"));
        emit pausedChanged(on);
    }
    show(on);
}

void ScreenPause::sessionStateChanged(BroadcastSession::State state)
{
    using State = BroadcastSession::State;
    m_available = state == State::Connecting || state == State::Live || state == State::Reconnecting;
    m_button->setEnabled(m_available);
    if (!m_available)
        setPaused(false);
}

void ScreenPause::show(bool paused)
{
    m_button->setChecked(paused);
    m_button->setText(QString::fromUtf8(paused ? kResumeText : kPauseText));
    m_label->setVisible(paused);
}
