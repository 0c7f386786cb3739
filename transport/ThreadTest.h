#pragma once
#include <QString>
#include <QThread>

#include <srt/srt.h>

#include <atomic>

// The speed-test worker: connects with the "#speedtest" stream ID and pushes
// 10 MiB in 1316-byte messages, keeping libsrt's send buffer short. The
// dialog polls the atomic counters; elapsed time and statistics are valid
// once hasResult() is true. A stop request is honoured before the next send,
// and a connection that stops taking data ends the run through the error
// count instead of holding the worker forever.
class ThreadTest : public QThread
{
    Q_OBJECT
public:
    ThreadTest(QString host, int port, QString streamId, int latency, QObject *parent = nullptr);
    ~ThreadTest() override;

    void requestStop() { m_stop = true; }
    int errorCount() const { return m_errorCount; }
    int remaining() const { return m_remaining; }
    bool hasResult() const { return m_hasResult.load(std::memory_order_acquire); }
    qint64 elapsed() const { return m_elapsed; }
    const SRT_TRACEBSTATS &statistics() const { return m_statistics; }

    static constexpr int kTotalBytes = 10485760;
    static constexpr int kMessageSize = 1316;
    static constexpr int kMaxErrors = 20;
    static constexpr int kSendBufferLimit = 65000;
    // A send buffer that does not drain for this long counts as a failed send.
    static constexpr int kStallMs = 1000;

signals:
    // Emitted from the worker thread when the connection could not be made.
    void connectFailed(QString failure);

protected:
    void run() override;

private:
    enum class Room { Available, Stalled, Stopped };
    void sendData(int socket);
    Room waitForSendBufferRoom(int socket);

    QString m_host;
    int m_port;
    QString m_streamId;
    int m_latency;
    std::atomic<int> m_errorCount{0};
    std::atomic<int> m_remaining{kTotalBytes};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_hasResult{false};
    qint64 m_elapsed = 0;
    SRT_TRACEBSTATS m_statistics{};
};
