#pragma once
#include "media/engine/EchoAlignment.h"
#include "media/engine/EchoCanceller.h"
#include "media/engine/EchoReference.h"
#include "media/engine/MFFrame.h"
#include "media/engine/RecordingClock.h"
#include "media/engine/SoundProcessing.h"

#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace mf {

// Cleans one recording's 10 ms frames: the echo of what the program plays
// (EchoReference) taken out, noise suppressed, as chosen. Lives on the
// recording's thread; the choice may change from any thread. With both off
// the sound passes untouched and nothing is computed.
class SoundCleaner
{
public:
    SoundCleaner(const MFAudioFormat &format, SoundProcessing processing);

    void setProcessing(SoundProcessing processing);
    // One recorded frame, in place, as soon as it was read.
    void clean(int16_t *frame);
    // The recording opened again: its frames start afresh on the clock.
    void restart();

    // The played sound is read this much ahead of what the speaker gives out
    // as the frame is recorded: the canceller looks for an echo after its
    // sound, never before, and the estimate may put it a little late. The
    // output keeps more than this written ahead of the speaker.
    static constexpr int kReadAheadMs = 30;

private:
    void follow(SoundProcessing processing);
    // The frame of what played whose sound is in the frame recorded now.
    const int16_t *playedFrame();

    MFAudioFormat m_format;
    std::atomic<bool> m_echoCancellation;
    std::atomic<bool> m_noiseSuppression;
    std::unique_ptr<EchoCanceller> m_canceller;
    SoundProcessing m_applied;
    std::unique_ptr<EchoAlignment> m_alignment;  // while reading
    std::unique_ptr<RecordingClock> m_clock;
    std::vector<int16_t> m_played;
    const std::shared_ptr<const EchoReference> m_reference = EchoReference::shared();
};

} // namespace mf
