#pragma once
#include "media/engine/MFFrame.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace mf {

// Takes out of the recorded sound the echo of what the program plays (the
// return stream coming back from the speaker into the microphone), and
// steady background noise.
//
// Fed in 10 ms frames of interleaved 16-bit samples: every frame handed to
// the sound server for playing through playFrame(), every recorded frame
// through captureFrame(), which cleans it in place. Played frames wait in a
// queue that stands for the sound server's playback buffer: each recorded
// frame takes the oldest one as the sound now leaving the speaker, silence
// when none waits.
//
// How late the echo comes is found from the sound itself, by matching the
// rise and fall of the played and recorded levels: the way from the speaker
// to the microphone may be far longer than the sound server knows (a
// loopback, a remote speaker), and the filters only hold a room's echo
// once they start where it does. Until found, the server's latency stands in.
//
// Not thread-safe: one thread makes every call (the caller queues the played
// frames for it). Nothing throws.
class EchoCanceller
{
public:
    // Off rather than None: Xlib, which some of our sources include, defines
    // None as a macro.
    enum class Kind { Off, Speex, WebRtc };

    // nearEnd: the recorded sound; farEnd: what the program plays. Any rate
    // from 8000 to 48000 Hz and any number of channels, 16 bits. Where the
    // library cannot be set up for them, the result passes the sound through
    // unchanged and kind() says Off.
    static std::unique_ptr<EchoCanceller> create(Kind kind, const MFAudioFormat &nearEnd,
                                                 const MFAudioFormat &farEnd);
    // The kind the program ships with: the one that cancelled best in the
    // echo benchmark (bench/audio).
    static Kind shipped();
    static const char *name(Kind kind);

    virtual ~EchoCanceller();
    EchoCanceller(const EchoCanceller &) = delete;
    EchoCanceller &operator=(const EchoCanceller &) = delete;

    Kind kind() const { return m_kind; }
    const MFAudioFormat &nearEnd() const { return m_nearEnd; }
    const MFAudioFormat &farEnd() const { return m_farEnd; }
    // Samples per channel in one 10 ms frame.
    int nearFrameLength() const { return m_nearEnd.sampleRate / 100; }
    int farFrameLength() const { return m_farEnd.sampleRate / 100; }

    void playFrame(const int16_t *interleaved);
    // delayMs: the sound server's playback plus capture latency, from the
    // frame last handed to playFrame() to its sound in a recorded frame. A
    // hint: the way from the speaker to the microphone may add more.
    void captureFrame(int16_t *interleaved, int delayMs);

    // Both on from the start.
    void setEchoCancellation(bool on);
    void setNoiseSuppression(bool on);
    bool echoCancellation() const { return m_echoCancellation; }
    bool noiseSuppression() const { return m_noiseSuppression; }

    // From a played frame's turn to its echo in the recorded sound, as found
    // so far; -1 before.
    int foundDelayMs() const { return m_foundDelayMs; }

protected:
    EchoCanceller(Kind kind, const MFAudioFormat &nearEnd, const MFAudioFormat &farEnd);

    // One played frame (far end format), in step with the recorded frame that
    // follows; silence while nothing plays.
    virtual void analyzePlayed(const int16_t *interleaved) = 0;
    // One recorded frame (near end format), in place. delayMs: at least this
    // long after the played frame last analysed did its echo start; it stays
    // put while the echo does.
    virtual void cancel(int16_t *interleaved, int delayMs) = 0;
    // Called after either switch changed.
    virtual void applySwitches() = 0;

    // The mean of a frame's channels, at full scale 1.
    static void downmix(const int16_t *interleaved, int channels, int length, float *mono);
    static void downmix(const int16_t *interleaved, int channels, int length, int16_t *mono);
    // One channel copied into every channel of a frame, rounded and clipped.
    static void spread(const float *mono, int length, int channels, int16_t *interleaved);
    static void spread(const int16_t *mono, int length, int channels, int16_t *interleaved);

private:
    // Beyond this the oldest played frames go: no sound server holds more.
    static constexpr int kMaxQueuedFrames = 100;

    int farFrameSamples() const { return farFrameLength() * m_farEnd.channels; }
    // The oldest queued played frame, or silence.
    const int16_t *takePlayed();
    void restartDelaySearch();
    void trackLevels(const int16_t *played, const int16_t *recorded);
    void searchDelay();
    // What cancel() gets: the delay found, else the server's latency less
    // the queued frames (hintMs), kept while that only jitters; a little
    // early either way.
    int echoDelay(int hintMs);

    Kind m_kind;
    MFAudioFormat m_nearEnd, m_farEnd;
    bool m_echoCancellation = true;
    bool m_noiseSuppression = true;
    std::vector<int16_t> m_played; // ring of kMaxQueuedFrames far end frames
    int m_firstPlayed = 0;
    int m_playedCount = 0;
    std::vector<int16_t> m_silence;

    // Levels of 5 ms blocks, rings written in step: the played ones reach
    // further back, by the longest delay looked for.
    std::vector<float> m_playedLevels, m_recordedLevels;
    int m_blocks = 0; // written since the search started
    int m_lagSeen = -1; // the last search's lag in blocks, -1 if it found none
    int m_foundDelayMs = -1;
    int m_delayGiven = -1;
};

} // namespace mf
