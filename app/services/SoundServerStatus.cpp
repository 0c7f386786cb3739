#include "app/services/SoundServerStatus.h"

#include "diagnostics/LogLine.h"
#include "media/engine/MFSoundServerEvents.h"

#include <QStatusBar>

const char *const SoundServerStatus::kLostText = "Sound server lost — reconnecting";
const char *const SoundServerStatus::kBackText = "Sound is back";

SoundServerStatus::SoundServerStatus(QStatusBar *bar) : QLabel(bar)
{
    setObjectName(QStringLiteral("soundServerStatus"));
    hide();
    bar->addPermanentWidget(this, 0);
    m_hide.setSingleShot(true);
    connect(&m_hide, &QTimer::timeout, this, &QWidget::hide);
    auto &events = mf::MFSoundServerEvents::instance();
    connect(&events, &mf::MFSoundServerEvents::lost, this, &SoundServerStatus::showLost);
    connect(&events, &mf::MFSoundServerEvents::back, this, &SoundServerStatus::showBack);
    if (events.isLost())
        showLost();
}

void SoundServerStatus::showLost()
{
    logLine(QString::fromUtf8(kLostText));
    m_hide.stop();
    setText(QString::fromUtf8(kLostText));
    setStyleSheet(QStringLiteral("QLabel{color: #ffb020; font-weight: bold;}"));
    show();
}

void SoundServerStatus::showBack()
{
    logLine(QString::fromUtf8(kBackText));
    setText(QString::fromUtf8(kBackText));
    setStyleSheet(QString());
    show();
    m_hide.start(kBackShownMs);
}
