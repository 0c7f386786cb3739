#include "transport/ThreadTest.h"

#include "transport/SrtConnect.h"
#include "transport/SrtSocket.h"

#include <QDebug>
#include <QElapsedTimer>

ThreadTest::ThreadTest(QString host, int port, QString streamId, int latency, QObject *parent)
    : QThread(parent), m_host(host), m_port(port), m_streamId(streamId), m_latency(latency)
{
}

ThreadTest::~ThreadTest()
{
    requestStop();
    wait(10000);
}

void ThreadTest::run()
{
    m_errorCount = 0;
    m_elapsed = 0;
    m_remaining = kTotalBytes;
    qDebug() << "start connect ..." << m_host << m_port << m_streamId << m_latency;
    int rawSocket = SrtSocket::kInvalid;
    const QString failure = srtConnect(&rawSocket, m_host, quint16(m_port), m_streamId, m_latency);
    SrtSocket socket(rawSocket);
    qDebug() << "end connect" << failure;
    if (!failure.isEmpty()) {
        emit connectFailed(failure);
        return;
    }
    sendData(socket.get());
}

void ThreadTest::sendData(int socket)
{
    qDebug() << "-- sendData";
    QElapsedTimer timer;
    timer.start();
    const QByteArray message(kMessageSize, '\0');
    while (m_remaining > 0) {
        const Room room = waitForSendBufferRoom(socket);
        if (room == Room::Stopped)
            return;
        if (room == Room::Stalled) {
            if (++m_errorCount >= kMaxErrors)
                break;
            continue;
        }
        const int sent = srt_send(socket, message.constData(), kMessageSize);
        if (sent == SRT_ERROR) {
            if (++m_errorCount >= kMaxErrors)
                break;
        } else {
            m_remaining -= sent;
        }
    }
    SRT_TRACEBSTATS statistics{};
    srt_bstats(socket, &statistics, 1);
    qDebug() << "-- SRT stat OK" << statistics.msTimeStamp << statistics.pktSentTotal << statistics.pktSent
             << statistics.pktSndDrop << statistics.pktSndLoss << statistics.mbpsSendRate
             << statistics.mbpsBandwidth;
    m_statistics = statistics;
    m_elapsed = timer.elapsed();
    m_hasResult.store(true, std::memory_order_release);
}

// Polls until libsrt's send buffer holds less than the limit. The wait always
// ends: on a stop request, when the connection is gone (the send then fails
// and is counted), or after kStallMs without room.
ThreadTest::Room ThreadTest::waitForSendBufferRoom(int socket)
{
    QElapsedTimer waiting;
    waiting.start();
    for (;;) {
        if (m_stop)
            return Room::Stopped;
        size_t blocks = 0;
        size_t bytes = 0;
        if (srt_getsndbuffer(socket, &blocks, &bytes) == SRT_ERROR || bytes < size_t(kSendBufferLimit))
            return Room::Available;
        if (srt_getsockstate(socket) != SRTS_CONNECTED)
            return Room::Available;
        if (waiting.elapsed() >= kStallMs)
            return Room::Stalled;
        QThread::usleep(1);
    }
}
