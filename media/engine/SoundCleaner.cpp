#include "media/engine/SoundCleaner.h"

#include "media/engine/EchoReference.h"

#include <algorithm>
#include <chrono>
#include <cmath>

namespace mf {

SoundCleaner::SoundCleaner(const MFAudioFormat &format, SoundProcessing processing)
    : m_format(format)
    , m_echoCancellation(processing.echoCancellation)
    , m_noiseSuppression(processing.noiseSuppression)
    , m_played(size_t(EchoReference::kFrameLength) * EchoReference::kChannels)
{
}

void SoundCleaner::setProcessing(SoundProcessing processing)
{
    m_echoCancellation = processing.echoCancellation;
    m_noiseSuppression = processing.noiseSuppression;
}

void SoundCleaner::clean(int16_t *frame)
{
    const SoundProcessing wanted{m_echoCancellation, m_noiseSuppression};
    if (!wanted.any()) {
        restart();
        return;
    }
    follow(wanted);
    // One played frame for each recorded one, read at the recording's pace:
    // what the output hands the server comes in bursts, and a reference that
    // jumped with them would leave the canceller's filters nothing to hold.
    m_canceller->playFrame(playedFrame());
    m_canceller->captureFrame(frame, 0);
}

void SoundCleaner::restart()
{
    m_alignment.reset();
    m_clock.reset();
}

// When the frame was recorded (from when it was read) and the output's
// latency say which played sample the speaker gave out then; the alignment
// turns that into a steady reading.
const int16_t *SoundCleaner::playedFrame()
{
    const EchoReference &reference = *m_reference;
    if (!m_alignment)
        m_alignment = std::make_unique<EchoAlignment>(EchoReference::kFrameLength, EchoReference::kSampleRate);
    if (!m_clock)
        m_clock = std::make_unique<RecordingClock>(std::chrono::milliseconds(10));
    const auto recorded = m_clock->frameRead(std::chrono::steady_clock::now());
    const double heard = reference.heardAt(recorded);
    m_alignment->note(qint64(std::llround(heard)));
    if (!m_alignment->placed()) {
        std::fill(m_played.begin(), m_played.end(), int16_t(0));
        return m_played.data();
    }
    const qint64 ahead = qint64(kReadAheadMs) * EchoReference::kSampleRate / 1000;
    reference.frameAt(m_alignment->position() + ahead, m_played.data());
    return m_played.data();
}

void SoundCleaner::follow(SoundProcessing processing)
{
    if (!m_canceller) {
        m_canceller = EchoCanceller::create(EchoCanceller::shipped(), m_format, EchoReference::format());
        m_applied = SoundProcessing{};
    }
    if (processing.echoCancellation != m_applied.echoCancellation)
        m_canceller->setEchoCancellation(processing.echoCancellation);
    if (processing.noiseSuppression != m_applied.noiseSuppression)
        m_canceller->setNoiseSuppression(processing.noiseSuppression);
    m_applied = processing;
}

} // namespace mf
