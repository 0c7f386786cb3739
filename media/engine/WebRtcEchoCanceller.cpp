#include "media/engine/WebRtcEchoCanceller.h"

#include <QDebug>

#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace mf {

namespace {

webrtc::StreamConfig monoStream(const MFAudioFormat &format)
{
    return webrtc::StreamConfig(format.sampleRate, 1);
}

} // namespace

WebRtcEchoCanceller::WebRtcEchoCanceller(const MFAudioFormat &nearEnd, const MFAudioFormat &farEnd)
    : EchoCanceller(Kind::WebRtc, nearEnd, farEnd),
      m_near(size_t(nearFrameLength())),
      m_far(size_t(farFrameLength()))
{
    m_ready = setUp();
}

WebRtcEchoCanceller::~WebRtcEchoCanceller() = default;

bool WebRtcEchoCanceller::setUp()
{
    webrtc::Config config;
    // The longer filter holds a room's echo from the delay given. The
    // module's own delay search stays off: it starts only after 15 s, and
    // then overrides the delay found here.
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(false));
    m_processing.reset(webrtc::AudioProcessing::Create(config));
    if (!m_processing)
        return false;
    const webrtc::StreamConfig recorded = monoStream(nearEnd()), played = monoStream(farEnd());
    const int status = m_processing->Initialize(webrtc::ProcessingConfig{{recorded, recorded, played, played}});
    if (status != webrtc::AudioProcessing::kNoError) {
        qWarning() << "WebRtcEchoCanceller: the audio processing module refuses the formats, error" << status;
        return false;
    }
    webrtc::EchoCancellation *echo = m_processing->echo_cancellation();
    echo->enable_drift_compensation(false);
    // The mildest suppression: the stronger ones take 2 to 5 dB more of the
    // user's voice while both talk (bench/audio), where this one already
    // leaves the echo some 40 dB down.
    echo->set_suppression_level(webrtc::EchoCancellation::kLowSuppression);
    m_processing->noise_suppression()->set_level(webrtc::NoiseSuppression::kModerate);
    // Rumble and offset below the voice would only disturb the echo filter.
    m_processing->high_pass_filter()->Enable(true);
    applySwitches();
    return true;
}

void WebRtcEchoCanceller::applySwitches()
{
    m_processing->echo_cancellation()->Enable(echoCancellation());
    m_processing->noise_suppression()->Enable(noiseSuppression());
}

void WebRtcEchoCanceller::analyzePlayed(const int16_t *interleaved)
{
    downmix(interleaved, farEnd().channels, farFrameLength(), m_far.data());
    float *channel = m_far.data();
    const webrtc::StreamConfig played = monoStream(farEnd());
    m_processing->ProcessReverseStream(&channel, played, played, &channel);
}

void WebRtcEchoCanceller::cancel(int16_t *interleaved, int delayMs)
{
    downmix(interleaved, nearEnd().channels, nearFrameLength(), m_near.data());
    float *channel = m_near.data();
    const webrtc::StreamConfig recorded = monoStream(nearEnd());
    if (echoCancellation())
        m_processing->set_stream_delay_ms(delayMs);
    if (m_processing->ProcessStream(&channel, recorded, recorded, &channel) == webrtc::AudioProcessing::kNoError)
        spread(m_near.data(), nearFrameLength(), nearEnd().channels, interleaved);
}

} // namespace mf
