#include "media/engine/SpeexEchoCanceller.h"

#include <QDebug>

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>
#include <speex/speex_resampler.h>

#include <algorithm>

namespace mf {

namespace {

// 16 kHz keeps the voice band a call needs; the filter's work grows with
// the rate.
constexpr int kProcessingRate = 16000;
constexpr int kBlockLength = kProcessingRate / 100; // 10 ms
// The preprocessor's output lags its input by one of its frames: the filter
// and the preprocessor work on halves of the 10 ms blocks.
constexpr int kFilterFrameLength = kBlockLength / 2;
// The echo the filter holds from where it starts: a room's reverberation,
// and the lead it is given on the echo's delay.
constexpr int kTailMs = 200;
// The played sound kept for a delayed start of the filter: the longest
// delay found, and a block.
constexpr int kHistoryLength = kProcessingRate * 510 / 1000;
constexpr int kResamplerQuality = SPEEX_RESAMPLER_QUALITY_VOIP;

} // namespace

void SpeexEchoCanceller::Deleter::operator()(SpeexEchoState_ *state) const
{
    speex_echo_state_destroy(state);
}

void SpeexEchoCanceller::Deleter::operator()(SpeexPreprocessState_ *state) const
{
    speex_preprocess_state_destroy(state);
}

void SpeexEchoCanceller::Deleter::operator()(SpeexResamplerState_ *state) const
{
    speex_resampler_destroy(state);
}

SpeexEchoCanceller::SpeexEchoCanceller(const MFAudioFormat &nearEnd, const MFAudioFormat &farEnd)
    : EchoCanceller(Kind::Speex, nearEnd, farEnd),
      m_near(size_t(nearFrameLength())),
      m_far(size_t(farFrameLength())),
      m_recorded(size_t(kBlockLength)),
      m_played(size_t(kBlockLength)),
      m_reference(size_t(kBlockLength)),
      m_cleaned(size_t(kBlockLength)),
      m_history(size_t(kHistoryLength))
{
    m_ready = setUp();
}

SpeexEchoCanceller::~SpeexEchoCanceller() = default;

bool SpeexEchoCanceller::resamplerFor(int fromRate, int toRate, Resampler &resampler)
{
    if (fromRate == toRate)
        return true;
    int error = 0;
    resampler.reset(speex_resampler_init(1, spx_uint32_t(fromRate), spx_uint32_t(toRate), kResamplerQuality, &error));
    return resampler != nullptr;
}

bool SpeexEchoCanceller::setUp()
{
    const int tail = kProcessingRate * kTailMs / 1000;
    m_echo.reset(speex_echo_state_init(kFilterFrameLength, tail));
    m_preprocess.reset(speex_preprocess_state_init(kFilterFrameLength, kProcessingRate));
    if (!m_echo || !m_preprocess || !resamplerFor(nearEnd().sampleRate, kProcessingRate, m_nearToProcessing)
        || !resamplerFor(kProcessingRate, nearEnd().sampleRate, m_processingToNear)
        || !resamplerFor(farEnd().sampleRate, kProcessingRate, m_farToProcessing)) {
        qWarning() << "SpeexEchoCanceller: cannot set up the filter, preprocessor or resamplers";
        return false;
    }
    int rate = kProcessingRate;
    speex_echo_ctl(m_echo.get(), SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    applySwitches();
    return true;
}

void SpeexEchoCanceller::applySwitches()
{
    // Switched on again, the filter starts afresh: the room may have changed.
    if (!echoCancellation())
        speex_echo_state_reset(m_echo.get());
    int denoise = noiseSuppression() ? 1 : 0;
    speex_preprocess_ctl(m_preprocess.get(), SPEEX_PREPROCESS_SET_DENOISE, &denoise);
    // The preprocessor suppresses what echo the filter leaves, from the
    // filter's own estimate of it.
    speex_preprocess_ctl(m_preprocess.get(), SPEEX_PREPROCESS_SET_ECHO_STATE,
                         echoCancellation() ? m_echo.get() : nullptr);
}

void SpeexEchoCanceller::resample(SpeexResamplerState_ *resampler, const std::vector<int16_t> &from,
                                  std::vector<int16_t> &to)
{
    spx_uint32_t taken = spx_uint32_t(from.size()), given = spx_uint32_t(to.size());
    speex_resampler_process_int(resampler, 0, from.data(), &taken, to.data(), &given);
    std::fill(to.begin() + given, to.end(), int16_t(0));
}

void SpeexEchoCanceller::analyzePlayed(const int16_t *interleaved)
{
    if (m_farToProcessing) {
        downmix(interleaved, farEnd().channels, farFrameLength(), m_far.data());
        resample(m_farToProcessing.get(), m_far, m_played);
    } else {
        downmix(interleaved, farEnd().channels, kBlockLength, m_played.data());
    }
    for (int16_t sample : m_played) {
        m_history[size_t(m_historyEnd)] = sample;
        m_historyEnd = (m_historyEnd + 1) % kHistoryLength;
    }
}

void SpeexEchoCanceller::takeReference(int delayMs)
{
    const int lag = std::min(delayMs * kProcessingRate / 1000, kHistoryLength - kBlockLength);
    // A filter learnt for another start cancels nothing.
    if (lag != m_lag)
        speex_echo_state_reset(m_echo.get());
    m_lag = lag;
    const int from = m_historyEnd - kBlockLength - lag + kHistoryLength;
    for (int i = 0; i < kBlockLength; ++i)
        m_reference[size_t(i)] = m_history[size_t((from + i) % kHistoryLength)];
}

void SpeexEchoCanceller::cancel(int16_t *interleaved, int delayMs)
{
    if (echoCancellation())
        takeReference(delayMs);
    if (m_nearToProcessing) {
        downmix(interleaved, nearEnd().channels, nearFrameLength(), m_near.data());
        resample(m_nearToProcessing.get(), m_near, m_recorded);
    } else {
        downmix(interleaved, nearEnd().channels, kBlockLength, m_recorded.data());
    }
    for (int from = 0; from < kBlockLength; from += kFilterFrameLength)
        cancelFrame(from);
    if (m_processingToNear) {
        resample(m_processingToNear.get(), m_cleaned, m_near);
        spread(m_near.data(), nearFrameLength(), nearEnd().channels, interleaved);
    } else {
        spread(m_cleaned.data(), kBlockLength, nearEnd().channels, interleaved);
    }
}

void SpeexEchoCanceller::cancelFrame(int from)
{
    int16_t *cleaned = m_cleaned.data() + from;
    if (echoCancellation())
        speex_echo_cancellation(m_echo.get(), m_recorded.data() + from, m_reference.data() + from, cleaned);
    else
        std::copy_n(m_recorded.begin() + from, kFilterFrameLength, cleaned);
    speex_preprocess_run(m_preprocess.get(), cleaned);
}

} // namespace mf
