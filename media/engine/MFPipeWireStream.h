#pragma once
#include <QImage>
#include <QPoint>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_registry;
struct pw_stream;

namespace mf {

// One video stream of a PipeWire remote (the portal's file descriptor),
// received in shared-memory buffers on PipeWire's own thread. Keeps the newest
// picture as RGB32 with the stream's crop applied, and the cursor the stream
// reports as metadata.
class MFPipeWireStream
{
public:
    struct Picture
    {
        QImage image;         // RGB32, null before the first picture
        quint64 serial = 0;   // grows with every new picture
        qint64 arrivedUs = 0; // wall clock, microseconds
        QImage cursor;        // ARGB32, null when none was reported
        QPoint cursorPos;     // top-left of the cursor bitmap in picture pixels
        bool cursorVisible = false;
    };

    // Takes the descriptor over, even when start() is never called or fails.
    MFPipeWireStream(int remoteFd, quint32 node);
    ~MFPipeWireStream();
    MFPipeWireStream(const MFPipeWireStream &) = delete;
    MFPipeWireStream &operator=(const MFPipeWireStream &) = delete;

    // Called once, on PipeWire's thread, when the stream ends after it had
    // started: error, paused, disconnected, or its node gone.
    void setEndedHandler(std::function<void(const QString &reason)> handler) { m_onEnded = std::move(handler); }
    bool start(QString *error);

    Picture latest() const;
    bool hasEnded() const { return m_ended; }

private:
    struct Handles;
    struct Listeners;

    void onParamChanged(quint32 id, const void *param);
    void onStateChanged(int state, const char *error);
    void onProcess();
    void onGlobalRemoved(quint32 id);
    void end(const QString &reason);
    void takePicture(const void *buffer);

    int m_fd;
    quint32 m_node;
    std::unique_ptr<Handles> m_handles;
    std::unique_ptr<Listeners> m_listeners;
    std::function<void(const QString &)> m_onEnded;
    std::atomic<bool> m_streaming{false};
    std::atomic<bool> m_ended{false};
    // Negotiated format, written and read on PipeWire's thread only.
    quint32 m_format = 0;
    int m_width = 0, m_height = 0;

    mutable std::mutex m_mutex;
    Picture m_latest;
};

} // namespace mf
