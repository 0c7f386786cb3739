#include "app/window/SmartMute.h"

#include "media/Mixer.h"
#include "media/PlayerWorker.h"

#include <QCheckBox>

namespace {
constexpr float kLoudLevelDb = -19.0f;
constexpr int kMuteHoldMs = 600;
} // namespace

SmartMute::SmartMute(const QCheckBox *chkSmartMute, const Mixer *mixer, PlayerWorker *player)
    : m_box(chkSmartMute), m_mixer(mixer), m_player(player)
{
}

void SmartMute::analyze()
{
    if (!m_box->isChecked())
        return;
    if (m_mixer->audioLevel() > kLoudLevelDb) {
        m_player->setMute(true);
        m_holdMs = kMuteHoldMs;
    } else if (m_holdMs < 1) {
        m_player->setMute(false);
    } else {
        m_holdMs -= kPeriodMs;
    }
}
