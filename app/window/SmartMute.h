#pragma once

class Mixer;
class PlayerWorker;
class QCheckBox;

// While its box is checked, the return sound is silenced as long as the
// local microphone is loud: one loud tick mutes it at once, and it is
// unmuted on the third quiet tick after the last loud one.
class SmartMute
{
public:
    // How often analyze() is to be called.
    static constexpr int kPeriodMs = 400;

    SmartMute(const QCheckBox *chkSmartMute, const Mixer *mixer, PlayerWorker *player);

    void analyze();

private:
    const QCheckBox *m_box;
    const Mixer *m_mixer;
    PlayerWorker *m_player;
    int m_holdMs = 0;
};
