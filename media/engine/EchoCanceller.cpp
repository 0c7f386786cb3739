#include "media/engine/EchoCanceller.h"

#include "media/engine/SpeexEchoCanceller.h"
#include "media/engine/WebRtcEchoCanceller.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace mf {

namespace {

// What create() hands out for Kind::Off, and where a library cannot serve
// the formats: callers keep one code path.
class PassThrough final : public EchoCanceller
{
public:
    PassThrough(const MFAudioFormat &nearEnd, const MFAudioFormat &farEnd)
        : EchoCanceller(Kind::Off, nearEnd, farEnd)
    {
    }

private:
    void analyzePlayed(const int16_t *) override {}
    void cancel(int16_t *, int) override {}
    void applySwitches() override {}
};

bool usable(const MFAudioFormat &format)
{
    return format.bits == 16 && format.channels >= 1 && format.sampleRate >= 8000 && format.sampleRate <= 48000
           && format.sampleRate % 100 == 0;
}

// The delay search matches where the played and the recorded sound grow
// louder: an echo's onsets come with its direct sound, while its level also
// follows the room's reverberation, which blurs the match. Over the last two
// seconds, in 5 ms blocks, with up to half a second between them.
constexpr int kBlocksPerFrame = 2;
constexpr int kBlockMs = 10 / kBlocksPerFrame;
constexpr int kWindowBlocks = 2000 / kBlockMs;
constexpr int kMaxLagBlocks = 500 / kBlockMs;
constexpr int kSearchEveryFrames = 10;
// A lag counts as found where the onsets' normalised correlation reaches
// this (0.3 to 0.7 while the specialist talks alone; mostly below 0.2 at
// other lags, and while the user talks over the echo), clearly above any
// lag not next to it, in two searches in a row.
constexpr double kMinMatch = 0.3;
constexpr double kMinLead = 1.5;
// A found delay moves only by more than this: each move makes the filters
// learn anew.
constexpr int kSettledLagBlocks = 3;
// The filters start this much before the delay found: it may be a block
// late, and may have moved by up to kSettledLagBlocks since.
constexpr int kLeadMs = 20;
// The latency the sound server reports jitters by a few milliseconds.
constexpr int kHintJitterMs = 10;

// log10 of the mean power, from -10 for silence.
float blockLevel(const int16_t *interleaved, int channels, int from, int to)
{
    double sum = 0;
    for (int i = from * channels; i < to * channels; ++i)
        sum += double(interleaved[i]) * interleaved[i];
    const double meanPower = sum / (double(to - from) * channels * 32768.0 * 32768.0);
    return float(std::log10(meanPower + 1e-10));
}

// How much louder each block of a ring of levels is than the one before
// (0 where it is not), oldest first, less their mean.
std::vector<double> rises(const std::vector<float> &ring, int next)
{
    const size_t size = ring.size();
    std::vector<double> values(size, 0.0);
    double mean = 0;
    for (size_t i = 1; i < size; ++i) {
        const double step = double(ring[(size_t(next) + i) % size]) - ring[(size_t(next) + i - 1) % size];
        values[i] = std::max(0.0, step);
        mean += values[i] / double(size);
    }
    for (double &value : values)
        value -= mean;
    return values;
}

double energy(const std::vector<double> &values, size_t from, size_t count)
{
    double sum = 0;
    for (size_t i = from; i < from + count; ++i)
        sum += values[i] * values[i];
    return sum;
}

struct Match
{
    int lag = -1;
    double score = -1;
    double runnerUp = -1; // the best score of the lags not next to lag
};

// The lag at which the recorded onsets follow the played ones best.
Match bestLag(const std::vector<double> &played, const std::vector<double> &recorded)
{
    const size_t window = recorded.size();
    const double recordedEnergy = energy(recorded, 0, window);
    std::vector<double> scores(kMaxLagBlocks + 1);
    Match best;
    for (int lag = 0; lag <= kMaxLagBlocks; ++lag) {
        const size_t start = size_t(kMaxLagBlocks - lag);
        double product = 0;
        for (size_t i = 0; i < window; ++i)
            product += recorded[i] * played[start + i];
        scores[size_t(lag)] = product / std::sqrt(recordedEnergy * energy(played, start, window) + 1e-20);
        if (scores[size_t(lag)] > best.score)
            best = {lag, scores[size_t(lag)]};
    }
    for (int lag = 0; lag <= kMaxLagBlocks; ++lag)
        if (std::abs(lag - best.lag) > 1)
            best.runnerUp = std::max(best.runnerUp, scores[size_t(lag)]);
    return best;
}

template <class Canceller>
std::unique_ptr<EchoCanceller> ready(std::unique_ptr<Canceller> canceller)
{
    if (canceller->isReady())
        return canceller;
    return nullptr;
}

std::unique_ptr<EchoCanceller> make(EchoCanceller::Kind kind, const MFAudioFormat &nearEnd,
                                    const MFAudioFormat &farEnd)
{
    switch (kind) {
    case EchoCanceller::Kind::Speex:
        return ready(std::make_unique<SpeexEchoCanceller>(nearEnd, farEnd));
    case EchoCanceller::Kind::WebRtc:
        return ready(std::make_unique<WebRtcEchoCanceller>(nearEnd, farEnd));
    case EchoCanceller::Kind::Off:
        break;
    }
    return nullptr;
}

} // namespace

std::unique_ptr<EchoCanceller> EchoCanceller::create(Kind kind, const MFAudioFormat &nearEnd,
                                                     const MFAudioFormat &farEnd)
{
    std::unique_ptr<EchoCanceller> canceller;
    if (usable(nearEnd) && usable(farEnd))
        canceller = make(kind, nearEnd, farEnd);
    if (!canceller && kind != Kind::Off)
        qWarning() << "EchoCanceller:" << name(kind) << "cannot serve" << nearEnd.channels << "channels at"
                   << nearEnd.sampleRate << "Hz recorded," << farEnd.channels << "at" << farEnd.sampleRate
                   << "Hz played; the sound passes unchanged";
    if (!canceller)
        canceller = std::make_unique<PassThrough>(nearEnd, farEnd);
    return canceller;
}

EchoCanceller::Kind EchoCanceller::shipped()
{
    return Kind::WebRtc;
}

const char *EchoCanceller::name(Kind kind)
{
    switch (kind) {
    case Kind::Speex:
        return "speex";
    case Kind::WebRtc:
        return "webrtc";
    case Kind::Off:
        break;
    }
    return "off";
}

EchoCanceller::EchoCanceller(Kind kind, const MFAudioFormat &nearEnd, const MFAudioFormat &farEnd)
    : m_kind(kind), m_nearEnd(nearEnd), m_farEnd(farEnd)
{
    m_played.resize(size_t(kMaxQueuedFrames) * size_t(std::max(0, farFrameSamples())));
    m_silence.resize(size_t(std::max(0, farFrameSamples())));
    restartDelaySearch();
}

EchoCanceller::~EchoCanceller() = default;

void EchoCanceller::playFrame(const int16_t *interleaved)
{
    if (m_kind == Kind::Off || !m_echoCancellation)
        return;
    if (m_playedCount == kMaxQueuedFrames) {
        m_firstPlayed = (m_firstPlayed + 1) % kMaxQueuedFrames;
        --m_playedCount;
    }
    const int slot = (m_firstPlayed + m_playedCount) % kMaxQueuedFrames;
    std::copy_n(interleaved, farFrameSamples(), m_played.begin() + ptrdiff_t(slot) * farFrameSamples());
    ++m_playedCount;
}

void EchoCanceller::captureFrame(int16_t *interleaved, int delayMs)
{
    if (m_kind == Kind::Off || (!m_echoCancellation && !m_noiseSuppression))
        return;
    if (m_echoCancellation) {
        const int16_t *played = takePlayed();
        analyzePlayed(played);
        trackLevels(played, interleaved);
        // The frames still queued were handed over after this one: its sound
        // leaves the speaker that much sooner than the hint says.
        delayMs = echoDelay(delayMs - m_playedCount * 10);
    }
    cancel(interleaved, delayMs);
}

const int16_t *EchoCanceller::takePlayed()
{
    if (m_playedCount == 0)
        return m_silence.data();
    const int16_t *played = m_played.data() + ptrdiff_t(m_firstPlayed) * farFrameSamples();
    m_firstPlayed = (m_firstPlayed + 1) % kMaxQueuedFrames;
    --m_playedCount;
    return played;
}

int EchoCanceller::echoDelay(int hintMs)
{
    int delay = m_foundDelayMs >= 0 ? m_foundDelayMs : std::max(0, hintMs);
    delay = std::max(0, delay - kLeadMs);
    if (m_delayGiven < 0 || m_foundDelayMs >= 0 || std::abs(delay - m_delayGiven) > kHintJitterMs)
        m_delayGiven = delay;
    return m_delayGiven;
}

void EchoCanceller::restartDelaySearch()
{
    m_playedLevels.assign(size_t(kWindowBlocks + kMaxLagBlocks), 0.f);
    m_recordedLevels.assign(size_t(kWindowBlocks), 0.f);
    m_blocks = 0;
    m_lagSeen = -1;
    m_foundDelayMs = -1;
    m_delayGiven = -1;
}

void EchoCanceller::trackLevels(const int16_t *played, const int16_t *recorded)
{
    const int farLength = farFrameLength() / kBlocksPerFrame, nearLength = nearFrameLength() / kBlocksPerFrame;
    for (int b = 0; b < kBlocksPerFrame; ++b) {
        m_playedLevels[size_t(m_blocks) % m_playedLevels.size()] =
            blockLevel(played, m_farEnd.channels, b * farLength, (b + 1) * farLength);
        m_recordedLevels[size_t(m_blocks) % m_recordedLevels.size()] =
            blockLevel(recorded, m_nearEnd.channels, b * nearLength, (b + 1) * nearLength);
        ++m_blocks;
    }
    const int frames = m_blocks / kBlocksPerFrame;
    if (m_blocks >= int(m_playedLevels.size()) && frames % kSearchEveryFrames == 0)
        searchDelay();
}

void EchoCanceller::searchDelay()
{
    const std::vector<double> played = rises(m_playedLevels, m_blocks % int(m_playedLevels.size()));
    const std::vector<double> recorded = rises(m_recordedLevels, m_blocks % int(m_recordedLevels.size()));
    const Match match = bestLag(played, recorded);
    if (match.score < kMinMatch || match.score < kMinLead * match.runnerUp) {
        m_lagSeen = -1;
        return;
    }
    // Twice the same lag in a row, and clearly away from the one in use.
    const int foundLag = m_foundDelayMs / kBlockMs;
    if (m_lagSeen >= 0 && std::abs(match.lag - m_lagSeen) <= 1
        && (m_foundDelayMs < 0 || std::abs(match.lag - foundLag) > kSettledLagBlocks))
        m_foundDelayMs = match.lag * kBlockMs;
    m_lagSeen = match.lag;
}

void EchoCanceller::setEchoCancellation(bool on)
{
    if (on == m_echoCancellation)
        return;
    m_echoCancellation = on;
    m_playedCount = 0;
    restartDelaySearch();
    applySwitches();
}

void EchoCanceller::setNoiseSuppression(bool on)
{
    if (on == m_noiseSuppression)
        return;
    m_noiseSuppression = on;
    applySwitches();
}

void EchoCanceller::downmix(const int16_t *interleaved, int channels, int length, float *mono)
{
    const float scale = 1.f / (32768.f * float(channels));
    for (int i = 0; i < length; ++i) {
        int sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += interleaved[i * channels + c];
        mono[i] = float(sum) * scale;
    }
}

void EchoCanceller::downmix(const int16_t *interleaved, int channels, int length, int16_t *mono)
{
    for (int i = 0; i < length; ++i) {
        int sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += interleaved[i * channels + c];
        mono[i] = int16_t(sum / channels);
    }
}

void EchoCanceller::spread(const float *mono, int length, int channels, int16_t *interleaved)
{
    for (int i = 0; i < length; ++i) {
        const float sample = std::clamp(std::nearbyint(mono[i] * 32768.f), -32768.f, 32767.f);
        for (int c = 0; c < channels; ++c)
            interleaved[i * channels + c] = int16_t(sample);
    }
}

void EchoCanceller::spread(const int16_t *mono, int length, int channels, int16_t *interleaved)
{
    for (int i = 0; i < length; ++i)
        for (int c = 0; c < channels; ++c)
            interleaved[i * channels + c] = mono[i];
}

} // namespace mf
