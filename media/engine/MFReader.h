#pragma once
#include "MFFrame.h"
#include "transport/srt/SrtEndpoint.h"

#include <QImage>
#include <QString>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace mf {

class SrtInput;
class TsDecoder;

// Plays an MPEG transport stream from an SRT server: pictures come out as
// RGB32 frames carrying the sound decoded with them (16-bit stereo 44100 Hz).
// Connecting, demuxing and decoding run on a thread of their own; read()
// hands out what it produced.
//
// Options ("key=value key='value'"):
//   network.open_image   picture handed out until the first frame arrives
//   network.buffer_max   frames kept waiting for read() (older ones go first)
//   network.low_delay    decode without buffering ahead
//   network.open_async   open() returns at once and connects in the background;
//                        otherwise it fails when the first connect fails
// A stream without a picture, or whose picture cannot be decoded, plays its
// sound in frames without a picture; one frame with a short message in
// place of the picture tells the user, and one log line says why. The same
// goes for a stream in which nothing decodes. Pictures larger than the
// decoder's limit come out scaled down to fit it; the sound follows any change
// of its format.
class MFReader
{
public:
    static constexpr int kMaxWaitMs = 1000;
    static constexpr int kSplashIntervalMs = 200;
    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;
    // Shown in place of the picture while the sound plays alone.
    static constexpr const char *kSoundOnlyText = "Sound only: this stream carries no picture";
    static constexpr const char *kNoPictureText = "The picture of this stream cannot be shown";
    // What the frames waiting for read() hold at most, pictures and sound
    // together (besides network.buffer_max); older frames go first.
    static constexpr qint64 kMaxQueuedBytes = 64 * 1024 * 1024;
    // Sound one waiting frame keeps at most (samples, both channels).
    static constexpr size_t kMaxSoundPerFrame = size_t(kSampleRate) * kChannels;

    MFReader();
    ~MFReader();

    // The passphrase of the next open(); empty: the stream is not encrypted.
    void setPassphrase(const QByteArray &passphrase) { m_passphrase = passphrase; }
    bool open(const QString &url, const QString &options);
    // The next frame, waiting at most timeoutMs (a negative timeout or one
    // above a second counts as one second). Until the stream's first picture
    // the splash picture comes out every kSplashIntervalMs. nullptr when
    // nothing came.
    MFFramePtr read(int timeoutMs);
    void close();

    bool hasPicture() const { return m_gotPicture; }
    quint64 droppedFrames() const { return m_dropped; }

private:
    struct Decoded
    {
        QImage picture;
        std::vector<int16_t> sound;
    };

    void run();
    void decode(TsDecoder &decoder);
    void deliver(Decoded decoded);
    void dropOldest(Decoded &incoming);
    static qint64 bytesOf(const Decoded &decoded);
    void showNoPicture(const QString &reason, bool soundPlays);
    static QImage noPictureMessage(const QString &text);
    bool waitStopFor(int ms);

    SrtEndpoint m_endpoint;  // passphrase included
    QByteArray m_passphrase;
    QImage m_splash;
    int m_bufferMax = 2;
    bool m_lowDelay = true;
    bool m_openAsync = true;

    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_gotPicture{false};
    std::atomic<quint64> m_dropped{0};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Decoded> m_queue;
    qint64 m_queuedBytes = 0;
    std::atomic<bool> m_noPictureSaid{false};
    bool m_open = false;
};

} // namespace mf
