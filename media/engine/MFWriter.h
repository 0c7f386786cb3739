#pragma once
#include "MFFrame.h"
#include "MFFrameSink.h"

#include <QString>
#include <QStringList>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

namespace mf {

class StreamEncoder;

// Encodes the frames put into it as an MPEG transport stream and writes it to
// a URL (tcp://127.0.0.1:PORT for the relay). Encoding runs on a thread of its
// own behind a short queue, so a put never waits for the encoder: a frame that
// does not fit is dropped and counted, its sound kept for the next one. Every
// put, dropped or not, is one frame interval of stream time; the encoder
// repeats the last picture where pictures were dropped.
class MFWriter : public MFFrameSink
{
public:
    // 320 ms at 25 fps: room for the encoder's start-up on the first frame.
    static constexpr int kQueueLength = 8;

    MFWriter();
    ~MFWriter() override;

    // configuration: "key='value'" pairs such as
    // "format='mpegts' video::codec='libx264' video::b='1024K'".
    bool open(const QString &url, const QString &configuration);
    // Ends the stream cleanly: queued frames are encoded, the pictures carried
    // on up to the last frame put (the sound reaches that far), the trailer
    // written. Waits for a put in progress; puts after it fail.
    void close();
    bool isOpen() const { return m_open; }

    // < 0: not open or the output failed; 0: queued; 1: dropped (queue full).
    int put(const MFFramePtr &frame, int timeoutMs) override;

    quint64 droppedFrames() const { return m_dropped; }
    quint64 queuedFrames() const { return m_queued; }
    // What went out so far, final after close(): bytes written to the URL,
    // pictures in the stream and, among them, repeats of a previous picture.
    quint64 bytesWritten() const { return m_bytesWritten; }
    quint64 framesEncoded() const { return m_framesEncoded; }
    quint64 framesRepeated() const { return m_framesRepeated; }
    // Frames waiting for the encoder.
    int pendingFrames() const;

    // Asks for a new video rate (bit/s): the encoder thread takes it before
    // its next frame; the caller never waits. Ignored while not open.
    void setVideoBitRate(qint64 bitRate);
    // The video rate of the frames being encoded now (bit/s); 0 before the
    // first frame.
    qint64 videoBitRate() const { return m_videoBitRate; }

    // Video codec identifiers whose encoder opens on this machine.
    static QStringList availableVideoCodecs();

private:
    struct Item
    {
        MFFramePtr frame;
        qint64 index = 0;
        // Sound of the frames dropped after this one, in the frame's format,
        // then as many samples (at the stream's rate) of silence.
        std::vector<int16_t> laterSound;
        int laterSilence = 0;
    };
    static void keepSound(Item &item, const MFFrame &dropped);
    void encodeLoop();
    bool takeItem(Item &item);
    void encodeItem(const Item &item);
    void updateCounters();
    void applyRequestedRate();

    std::unique_ptr<StreamEncoder> m_encoder;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Item> m_queue;
    bool m_closing = false;
    qint64 m_nextIndex = 0;
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_outputFailed{false};
    std::atomic<quint64> m_dropped{0};
    std::atomic<quint64> m_queued{0};
    std::atomic<quint64> m_bytesWritten{0};
    std::atomic<quint64> m_framesEncoded{0};
    std::atomic<quint64> m_framesRepeated{0};
    std::atomic<qint64> m_requestedVideoBitRate{0};  // 0 = no request
    std::atomic<qint64> m_videoBitRate{0};
    std::atomic<qint64> m_abortAtMs{0};  // monotonic ms; 0 = no deadline
    std::mutex m_closeMutex;
};

} // namespace mf
