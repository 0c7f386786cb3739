#pragma once
#include "media/engine/EchoCanceller.h"

#include <memory>
#include <vector>

struct SpeexEchoState_;
struct SpeexPreprocessState_;
struct SpeexResamplerState_;

namespace mf {

// Echo cancellation by the Speex adaptive filter, whose residual echo and
// noise the Speex preprocessor then suppresses. Runs on one channel at a
// fixed rate of its own; the filter starts at the echo's delay, so that its
// length goes to the room's reverberation.
class SpeexEchoCanceller final : public EchoCanceller
{
public:
    SpeexEchoCanceller(const MFAudioFormat &nearEnd, const MFAudioFormat &farEnd);
    ~SpeexEchoCanceller() override;

    bool isReady() const { return m_ready; }

private:
    struct Deleter
    {
        void operator()(SpeexEchoState_ *state) const;
        void operator()(SpeexPreprocessState_ *state) const;
        void operator()(SpeexResamplerState_ *state) const;
    };
    using EchoState = std::unique_ptr<SpeexEchoState_, Deleter>;
    using PreprocessState = std::unique_ptr<SpeexPreprocessState_, Deleter>;
    using Resampler = std::unique_ptr<SpeexResamplerState_, Deleter>;

    void analyzePlayed(const int16_t *interleaved) override;
    void cancel(int16_t *interleaved, int delayMs) override;
    void applySwitches() override;
    // The played block delayMs before the latest into m_reference.
    void takeReference(int delayMs);
    // One filter frame of the 10 ms block, from sample `from` on.
    void cancelFrame(int from);
    bool setUp();
    static bool resamplerFor(int fromRate, int toRate, Resampler &resampler);
    // A frame at one rate into one at another; zeros make up for a short output.
    static void resample(SpeexResamplerState_ *resampler, const std::vector<int16_t> &from, std::vector<int16_t> &to);

    EchoState m_echo;
    PreprocessState m_preprocess;
    Resampler m_nearToProcessing, m_processingToNear, m_farToProcessing;
    bool m_ready = false;
    // Mono 10 ms blocks at each side's rate, and at the processing rate.
    std::vector<int16_t> m_near, m_far;
    std::vector<int16_t> m_recorded, m_played, m_reference, m_cleaned;
    // The played sound at the processing rate, a ring ending at m_historyEnd.
    std::vector<int16_t> m_history;
    int m_historyEnd = 0;
    int m_lag = 0; // of the reference behind the latest played block, in samples
};

} // namespace mf
