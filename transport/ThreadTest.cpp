#include "transport/ThreadTest.h"

#include "diagnostics/HappensBefore.h"
#include "transport/SendPacer.h"
#include "transport/SrtConnect.h"
#include "transport/srt/SrtSocket.h"

#include <srt/srt.h>

#include <QDebug>
#include <QElapsedTimer>

#include <algorithm>

namespace {
constexpr unsigned long kPollSleepUs = 1;
constexpr unsigned long kDeliveryPollMs = 10;

struct SendBuffer {
    int spanMs = SRT_ERROR;  // time between the oldest and the newest message held
    size_t messages = 0;
    size_t bytes = 0;
};

SendBuffer sendBuffer(int socket)
{
    SendBuffer buffer;
    buffer.spanMs = srt_getsndbuffer(socket, &buffer.messages, &buffer.bytes);
    return buffer;
}

// Tells when the count of unacknowledged messages has not changed for a while;
// each stall is reported once, then the watch starts over.
class AcknowledgementWatch
{
public:
    AcknowledgementWatch(size_t messages, qint64 stallMs) : m_messages(messages), m_stallMs(stallMs)
    {
        m_sinceChange.start();
    }
    bool stalled(size_t messages)
    {
        if (messages != m_messages) {
            restart(messages);
            return false;
        }
        if (m_sinceChange.elapsed() < m_stallMs)
            return false;
        m_sinceChange.restart();
        return true;
    }
    void restart(size_t messages)
    {
        m_messages = messages;
        m_sinceChange.restart();
    }

private:
    size_t m_messages;
    qint64 m_stallMs;
    QElapsedTimer m_sinceChange;
};

bool isConnected(int socket)
{
    return srt_getsockstate(socket) == SRTS_CONNECTED;
}
}

ThreadTest::ThreadTest(const SrtEndpoint &endpoint, QObject *parent) : QThread(parent), m_endpoint(endpoint) {}

// Every wait of the worker checks the stop request, so this returns soon.
ThreadTest::~ThreadTest()
{
    requestStop();
    wait();
    HappensBefore::acquire(this);
}

void ThreadTest::run()
{
    measure();
    HappensBefore::release(this);
}

void ThreadTest::measure()
{
    m_errorCount = 0;
    m_elapsed = 0;
    m_remaining = kTotalBytes;
    qDebug() << "start connect ..." << m_endpoint.host << m_endpoint.port << m_endpoint.streamId
             << m_endpoint.latencyMs;
    SrtConnection connection = srtConnect(m_endpoint);
    const SrtSocket socket = std::move(connection.socket);
    m_connectResult = connection.result;
    qDebug() << "end connect" << m_connectResult.described();
    if (!m_connectResult.ok()) {
        finish(Outcome::ConnectFailed);
        return;
    }
    m_agreedLatency = agreedLatency(socket.get());
    const Outcome outcome = sendData(socket.get());
    finish(outcome);
    if (outcome == Outcome::Completed)
        waitForDelivery();
}

// The latency both ends agreed on; the receiver holds every message that long.
int ThreadTest::agreedLatency(int socket) const
{
    int latency = 0;
    int size = sizeof latency;
    if (srt_getsockflag(socket, SRTO_PEERLATENCY, &latency, &size) == SRT_ERROR)
        return m_endpoint.latencyMs;
    return latency;
}

// The clock runs from the first message until the server has acknowledged
// the last one.
ThreadTest::Outcome ThreadTest::sendData(int socket)
{
    qDebug() << "-- sendData";
    QElapsedTimer timer;
    timer.start();
    const QByteArray message(kMessageSize, '\0');
    m_queuedBytes = 0;
    Outcome outcome = sendMessages(socket, message, timer);
    if (outcome == Outcome::Completed) {
        const Wait drained = waitForSendBufferDrained(socket, message);
        if (drained == Wait::Stopped)
            return Outcome::Stopped;
        if (drained == Wait::TimedOut)
            outcome = Outcome::NotAcknowledged;
    }
    if (outcome == Outcome::Stopped)
        return outcome;
    m_elapsed = timer.elapsed();
    storeStatistics(socket);
    return outcome;
}

ThreadTest::Outcome ThreadTest::sendMessages(int socket, const QByteArray &message, const QElapsedTimer &timer)
{
    SendPacer pacer(m_agreedLatency);
    while (m_remaining > 0) {
        const Wait room = waitForSendBufferRoom(socket, pacer, timer);
        if (room == Wait::Stopped)
            return Outcome::Stopped;
        if (room == Wait::TimedOut)
            return Outcome::NotAcknowledged;
        const int sent = srt_send(socket, message.constData(), kMessageSize);
        if (sent != SRT_ERROR) {
            m_remaining -= sent;
            m_queuedBytes += sent;
        } else if (++m_errorCount >= kMaxErrors) {
            return Outcome::SendErrors;
        }
    }
    return Outcome::Completed;
}

// libsrt keeps each message in its send buffer until the server acknowledges
// it, so the buffer's fill is the data in flight; the pacer sets how much
// that may be. A receiver learns of a loss only from a later message, and a
// live sender resends only what the receiver reports: when a whole window is
// lost (a burst in a router or a full socket buffer) acknowledgements stop
// until something more is sent, so a stall lets the next message go anyway.
// A few such messages in a row, each after twice the wait of the one before
// (the path may be out for a while), not more: a receiver that takes nothing
// any more (its reader stopped) must still end the run.
ThreadTest::Wait ThreadTest::waitForSendBufferRoom(int socket, SendPacer &pacer, const QElapsedTimer &timer)
{
    const size_t heldAtStart = sendBuffer(socket).messages;
    AcknowledgementWatch watch(heldAtStart, tailProbeAfterMs() << m_probesInARow);
    return waitFor(
        [&] {
            const SendBuffer buffer = sendBuffer(socket);
            // Without a connection the next send fails and is counted.
            if (buffer.spanMs == SRT_ERROR || !isConnected(socket))
                return true;
            pacer.noteAcknowledged(timer.nsecsElapsed() / 1000, m_queuedBytes - qint64(buffer.bytes));
            if (buffer.messages < heldAtStart)
                m_probesInARow = 0;
            if (qint64(buffer.bytes) < pacer.window())
                return true;
            if (m_probesInARow < kMaxProbesInARow && watch.stalled(buffer.messages)) {
                ++m_probesInARow;
                return true;
            }
            return false;
        },
        m_agreedLatency + kAckGraceMs);
}

// A lost last message goes unnoticed: the receiver learns of a loss from the
// message after it. When acknowledgements stop short of the end, one more
// message shows the receiver the gap (or brings a lost acknowledgement again).
ThreadTest::Wait ThreadTest::waitForSendBufferDrained(int socket, const QByteArray &message)
{
    AcknowledgementWatch watch(sendBuffer(socket).messages, tailProbeAfterMs());
    const auto drained = [socket] {
        const SendBuffer buffer = sendBuffer(socket);
        return buffer.spanMs != SRT_ERROR && buffer.messages == 0;
    };
    const Wait wait = waitFor(
        [&] {
            const SendBuffer buffer = sendBuffer(socket);
            if (buffer.spanMs == SRT_ERROR || buffer.messages == 0 || !isConnected(socket))
                return true;
            if (watch.stalled(buffer.messages)
                && srt_send(socket, message.constData(), kMessageSize) == kMessageSize) {
                m_queuedBytes += kMessageSize;
                watch.restart(buffer.messages + 1);
            }
            return false;
        },
        m_agreedLatency + kAckGraceMs);
    if (wait == Wait::Done && !drained())
        return Wait::TimedOut;
    return wait;
}

qint64 ThreadTest::tailProbeAfterMs() const
{
    return std::max(m_agreedLatency / kLatencyShareBeforeTailProbe, kMinTailProbeMs);
}

template <typename Condition>
ThreadTest::Wait ThreadTest::waitFor(Condition condition, int timeoutMs)
{
    QElapsedTimer waiting;
    waiting.start();
    for (;;) {
        if (m_stop)
            return Wait::Stopped;
        if (condition())
            return Wait::Done;
        if (waiting.elapsed() >= timeoutMs)
            return Wait::TimedOut;
        QThread::usleep(kPollSleepUs);
    }
}

// Messages leave the send buffer when acknowledged or when libsrt drops them
// as too late; each message is one packet, so drops count whole messages.
void ThreadTest::storeStatistics(int socket)
{
    const SrtStatistics statistics = SrtStatistics::read(socket, true).value_or(SrtStatistics());
    qDebug() << "-- SRT stat OK" << statistics.elapsedMs << statistics.packetsSentTotal << statistics.packetsSent
             << statistics.packetsDropped << statistics.packetsLost << statistics.sendMbps << statistics.bandwidthMbps;
    const SendBuffer buffer = sendBuffer(socket);
    const qint64 unacknowledged = buffer.spanMs == SRT_ERROR ? 0 : qint64(buffer.bytes);
    m_acknowledgedBytes =
        std::max<qint64>(0, m_queuedBytes - unacknowledged - statistics.packetsDroppedTotal * kMessageSize);
    m_statistics = statistics;
    qDebug() << "-- acknowledged bytes" << m_acknowledgedBytes << "in" << m_elapsed << "ms, latency"
             << m_agreedLatency << "unacknowledged messages" << buffer.messages << "lost"
             << statistics.packetsLostTotal << "resent" << statistics.packetsRetransmittedTotal << "dropped"
             << statistics.packetsDroppedTotal;
}

// The server holds each message for the latency before its reader can take it;
// closing the connection discards what has not been read.
void ThreadTest::waitForDelivery()
{
    QElapsedTimer waiting;
    waiting.start();
    while (!m_stop && waiting.elapsed() < m_agreedLatency + kDeliveryMarginMs)
        QThread::msleep(kDeliveryPollMs);
}

void ThreadTest::finish(Outcome outcome)
{
    m_outcome.store(outcome, std::memory_order_release);
    if (outcome != Outcome::Stopped)
        emit resultReady();
}
