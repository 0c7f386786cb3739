#pragma once
#include "media/engine/EchoCanceller.h"

#include <memory>
#include <vector>

namespace webrtc {
class AudioProcessing;
}

namespace mf {

// Echo cancellation and noise suppression by the WebRTC audio processing
// module, at the recorded sound's own rate, with the filter started at the
// echo's delay and long enough for a room's reverberation.
class WebRtcEchoCanceller final : public EchoCanceller
{
public:
    WebRtcEchoCanceller(const MFAudioFormat &nearEnd, const MFAudioFormat &farEnd);
    ~WebRtcEchoCanceller() override;

    bool isReady() const { return m_ready; }

private:
    void analyzePlayed(const int16_t *interleaved) override;
    void cancel(int16_t *interleaved, int delayMs) override;
    void applySwitches() override;
    bool setUp();

    std::unique_ptr<webrtc::AudioProcessing> m_processing;
    bool m_ready = false;
    // One channel of each side: the module would otherwise run one filter per
    // pair of recorded and played channels.
    std::vector<float> m_near, m_far;
};

} // namespace mf
