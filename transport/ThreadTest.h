#pragma once
#include "transport/srt/SrtEndpoint.h"
#include "transport/srt/SrtStatistics.h"
#include "transport/srt/StepResult.h"

#include <QThread>

#include <atomic>

class QElapsedTimer;
class SendPacer;

// The speed-test worker: connects with the "#speedtest" stream ID and pushes
// 10 MiB in 1316-byte messages. It measures what the server acknowledged:
// the clock stops once libsrt's send buffer has drained. Its results are
// valid from resultReady() on; after a completed run the worker keeps the
// connection open a while longer, as closing it makes the server discard what
// it has not yet read.
//
// The dialog polls remaining() and errorCount() while the run lasts. Every
// wait checks the stop request, so the thread ends soon after requestStop()
// (at the latest when libsrt gives up connecting).
class ThreadTest : public QThread
{
    Q_OBJECT
public:
    enum class Outcome {
        Running,
        ConnectFailed,    // connectResult() says why
        Stopped,          // requestStop() ended the run
        SendErrors,       // kMaxErrors sends failed
        NotAcknowledged,  // the server stopped acknowledging data
        Completed,
    };

    // The endpoint is a dotted IPv4 address with the "#speedtest" stream ID;
    // its latency is the peer latency, a non-empty passphrase encrypts.
    explicit ThreadTest(const SrtEndpoint &endpoint, QObject *parent = nullptr);
    ~ThreadTest() override;

    void requestStop() { m_stop = true; }
    int errorCount() const { return m_errorCount; }
    int remaining() const { return m_remaining; }

    Outcome outcome() const { return m_outcome.load(std::memory_order_acquire); }
    // srtConnect's failure, with libsrt's reject reason.
    const StepResult &connectResult() const { return m_connectResult; }
    qint64 elapsed() const { return m_elapsed; }
    qint64 acknowledgedBytes() const { return m_acknowledgedBytes; }
    const SrtStatistics &statistics() const { return m_statistics; }

    static constexpr int kTotalBytes = 10485760;
    static constexpr int kMessageSize = 1316;
    static constexpr int kMaxErrors = 20;
    // How long beyond the latency the server may take to acknowledge data
    // before the run counts as failed.
    static constexpr int kAckGraceMs = 2000;
    // Acknowledgements that stop for this share of the latency (and at least
    // as long as an acknowledgement may take when nothing is lost) make the
    // worker send one more message, beyond the pacer's window or the end.
    static constexpr int kLatencyShareBeforeTailProbe = 4;
    static constexpr int kMinTailProbeMs = 40;
    // Messages sent beyond the pacer's window while acknowledgements stall,
    // in a row: with the waits doubling, about 30 times the first wait, well
    // within kAckGraceMs.
    static constexpr int kMaxProbesInARow = 5;
    // Time beyond the latency that the server gets to read the data it still
    // holds when everything has been acknowledged.
    static constexpr int kDeliveryMarginMs = 2000;

signals:
    // Emitted from the worker thread once the outcome and the results are
    // stored, unless the run was stopped.
    void resultReady();

protected:
    void run() override;

private:
    enum class Wait { Done, TimedOut, Stopped };
    void measure();
    Outcome sendData(int socket);
    Outcome sendMessages(int socket, const QByteArray &message, const QElapsedTimer &timer);
    Wait waitForSendBufferRoom(int socket, SendPacer &pacer, const QElapsedTimer &timer);
    Wait waitForSendBufferDrained(int socket, const QByteArray &message);
    template <typename Condition>
    Wait waitFor(Condition condition, int timeoutMs);
    void storeStatistics(int socket);
    void waitForDelivery();
    int agreedLatency(int socket) const;
    qint64 tailProbeAfterMs() const;
    void finish(Outcome outcome);

    SrtEndpoint m_endpoint;
    int m_agreedLatency = 0;
    qint64 m_queuedBytes = 0;
    int m_probesInARow = 0;
    std::atomic<int> m_errorCount{0};
    std::atomic<int> m_remaining{kTotalBytes};
    std::atomic<bool> m_stop{false};
    std::atomic<Outcome> m_outcome{Outcome::Running};
    StepResult m_connectResult;
    qint64 m_elapsed = 0;
    qint64 m_acknowledgedBytes = 0;
    SrtStatistics m_statistics;
};
