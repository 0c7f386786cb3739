#include "transport/RESender.h"

#include "diagnostics/HappensBefore.h"
#include "diagnostics/LogLine.h"
#include "transport/LocalPeer.h"
#include "transport/StreamCopy.h"
#include "transport/SrtConnect.h"
#include "transport/srt/SrtLibrary.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <srt/srt.h>

namespace {
constexpr int kEncoderWaitMs = 30000;
// The encoder wait is sliced so that a stop request ends it promptly.
constexpr int kEncoderWaitSliceMs = 50;
// libsrt's receiver paces its repeated loss reports by its smoothed
// round-trip estimate, which starts at 100 ms and moves towards the real
// value by one acknowledgement at a time, i.e. only while data flows. Until
// it has settled, a packet lost twice misses a 120 ms latency window. So the
// connection carries stuffing for this long before the encoder may connect.
constexpr int kWarmUpMs = 500;
// Short enough that the receiver acknowledges every 10 ms tick.
constexpr int kStuffingIntervalMs = 10;
// The server plays a message out at its send time plus the latency, as seen
// through the one-way delay and its clock estimate: close a little later.
constexpr int kPlayOutMarginMs = 100;
// The server sets that clock when it handles our handshake: a handshake that
// waited on the way (a queue, a busy server) makes it play everything out
// that much later, until its drift correction catches up after about ten
// seconds. The wait cannot have been longer than the handshake took us, so
// the margin grows to that, within a bound.
constexpr int kMaxPlayOutMarginMs = 1000;

// Seven MPEG-TS null packets (PID 0x1FFF): every transport stream reader
// skips them, so they can travel in the stream without changing it.
QByteArray stuffingMessage()
{
    QByteArray message;
    for (int i = 0; i < 7; ++i) {
        QByteArray packet(188, char(0xFF));
        packet[0] = char(0x47);
        packet[1] = char(0x1F);
        packet[2] = char(0xFF);
        packet[3] = char(0x10);
        message += packet;
    }
    return message;
}
constexpr unsigned long kShutdownWaitMs = 10000;
}

RESender::RESender(QObject *parent) : QThread(parent)
{
    startSrtLibrary();
}

RESender::~RESender()
{
    if (isRunning()) {
        stopRelay();
        if (!wait(kShutdownWaitMs))
            qWarning() << "*** RESender thread did not end in time";
    }
    HappensBefore::acquire(this);
    closeSrtSocket();
}

void RESender::startRelay(const SrtEndpoint &endpoint)
{
    listenPort = 0;
    m_endpoint = endpoint;
    {
        std::lock_guard<std::mutex> lock(m_connectMutex);
        m_connectResult = StepResult();
    }
    m_stopRequested = false;
    m_discard = false;
    start(QThread::InheritPriority);
}

// The thread itself closes the SRT socket once the tail is delivered; the
// caller does not wait for that.
void RESender::stopRelay()
{
    m_stopRequested = true;
    exit(0);
    logLine(QStringLiteral("RESender STOP"));
}

StepResult RESender::connectResult() const
{
    std::lock_guard<std::mutex> lock(m_connectMutex);
    return m_connectResult;
}

bool RESender::hasFailed() const
{
    if (m_discard)
        return true;
    const int socket = m_srtSocket;
    return socket != SRT_INVALID_SOCK && srt_getsockstate(socket) >= SRTS_BROKEN;
}

std::optional<SrtStatistics> RESender::takeStatistics()
{
    const int socket = m_srtSocket;
    if (socket == SRT_INVALID_SOCK)
        return std::nullopt;
    return SrtStatistics::read(socket, true);
}

qint64 RESender::sendBufferBytes() const
{
    const int socket = m_srtSocket;
    size_t blocks = 0;
    size_t bytes = 0;
    if (socket == SRT_INVALID_SOCK || srt_getsndbuffer(socket, &blocks, &bytes) == SRT_ERROR)
        return -1;
    return qint64(bytes);
}

int RESender::agreedLatencyMs() const
{
    const int socket = m_srtSocket;
    int latencyMs = m_endpoint.latencyMs;
    int size = sizeof latencyMs;
    if (socket == SRT_INVALID_SOCK || srt_getsockflag(socket, SRTO_PEERLATENCY, &latencyMs, &size) == SRT_ERROR)
        return m_endpoint.latencyMs;
    return latencyMs;
}

void RESender::closeSrtSocket()
{
    const int socket = m_srtSocket.exchange(SRT_INVALID_SOCK);
    if (socket != SRT_INVALID_SOCK)
        srt_close(socket);
}

void RESender::run()
{
    relay();
    HappensBefore::release(this);
}

void RESender::relay()
{
    setPriority(QThread::TimeCriticalPriority);

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        logLine(QStringLiteral("*** RESender LISTEN FAILED: ") + server.errorString());
        return;
    }
    const int port = server.serverPort();
    logLine(QStringLiteral("RESender LISTEN PORT:") + QString::number(port));

    m_errorCount = 0;
    logLine(QStringLiteral("Connect to SRT ") + m_endpoint.serverText() + "  streamid: " + m_endpoint.streamId);
    QElapsedTimer connecting;
    connecting.start();
    SrtConnection connection = srtConnect(m_endpoint, &m_stopRequested);
    m_playOutMarginMs = int(qBound<qint64>(kPlayOutMarginMs, connecting.elapsed(), kMaxPlayOutMarginMs));
    m_srtSocket = connection.socket.release();
    if (m_stopRequested)  // stopped while connecting: nothing to deliver
        closeSrtSocket();
    logLine(connection.result.ok() ? QStringLiteral("CONNECT: SUCCESS")
                                   : QStringLiteral("CONNECT FAILED: ") + connection.result.described());
    {
        std::lock_guard<std::mutex> lock(m_connectMutex);
        m_connectResult = connection.result;
    }
    warmUp();
    // The port is handed out only now, so the encoder's data never waits
    // behind the warm-up and leaves in one burst.
    listenPort = port;

    QTcpSocket *encoder = waitForEncoder(server);
    if (encoder) {
        logLine(QStringLiteral("RESender SUCCESS"));
        // Nobody else gets to connect while the broadcast runs.
        server.close();
        relayBuffer.clear();
        connect(encoder, &QTcpSocket::readyRead, encoder, [this, encoder] { forwardReceived(encoder); },
                Qt::DirectConnection);
    } else if (!m_stopRequested) {
        logLine(QStringLiteral("RESender FAILED TIMEOUT 101"));
    }

    exec();  // returns at once when stopRelay() came before it
    if (encoder) {
        forwardUntilEncoderCloses(encoder);
        waitForDelivery();
    }
    if (m_refusedConnections > 1)
        logLine(QStringLiteral("RESender: refused %1 connections that were not ours").arg(m_refusedConnections));
    qDebug() << "RETRANSMIT STOPPED";
    server.close();
    closeSrtSocket();
}

// On Stop the encoder has normally closed its side already, but the end of
// its stream may still sit unread in the local socket: read it to the end.
void RESender::forwardUntilEncoderCloses(QTcpSocket *socket)
{
    QElapsedTimer waited;
    waited.start();
    while (!m_discard && socket->state() == QAbstractSocket::ConnectedState
           && waited.elapsed() < kEncoderCloseWaitMs) {
        socket->waitForReadyRead(int(kEncoderCloseWaitMs - waited.elapsed()));
        forwardReceived(socket);
    }
    forwardReceived(socket);
}

// Closing a live SRT socket throws away whatever the server has not yet
// acknowledged, and the server drops what it has not yet played out. So wait
// until the server has acknowledged the end of the stream and the last
// message has had the latency and the play-out margin to reach the server's
// reader, bounded by a grace period beyond that. A receiver learns of a lost
// packet only from a later one, and libsrt does not resend unacknowledged
// packets by itself while the receiver sends loss reports: while the end of
// the stream stays unacknowledged, stuffing behind it reveals the loss. The
// stuffing itself need not arrive: on a route whose round trip is longer than
// the stuffing interval some of it is always in flight.
void RESender::waitForDelivery()
{
    const int socket = m_srtSocket;
    if (socket == SRT_INVALID_SOCK || m_discard)
        return;
    const int latencyMs = agreedLatencyMs();
    const qint64 playOutMs = qMax(latencyMs, 0) + m_playOutMarginMs;
    const qint64 limitMs = playOutMs + kDrainGraceMs;
    const qint64 streamEnd = m_bytesHanded;
    const qint64 sinceLastDataMs = m_lastSend.isValid() ? m_lastSend.elapsed() : playOutMs;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < limitMs && srt_getsockstate(socket) == SRTS_CONNECTED) {
        size_t blocks = 0;
        size_t bytes = 0;
        const bool acknowledged =
            srt_getsndbuffer(socket, &blocks, &bytes) == SRT_ERROR || m_bytesHanded - qint64(bytes) >= streamEnd;
        const bool playedOut = sinceLastDataMs + waited.elapsed() >= playOutMs;
        if (acknowledged && playedOut)
            return;
        if (!acknowledged)
            sendStuffingIfDue();
        QThread::msleep(5);
    }
    if (waited.elapsed() >= limitMs)
        logLine(QStringLiteral("*** RESender: the server did not acknowledge the end of the stream in time"));
}

// The listener is on loopback, where every local user may connect (and find
// its port in /proc/net/tcp): only the connection our own writer made is
// taken; any other is closed at once and the wait goes on.
QTcpSocket *RESender::waitForEncoder(QTcpServer &server)
{
    QElapsedTimer waited;
    waited.start();
    while (!m_stopRequested && waited.elapsed() < kEncoderWaitMs) {
        if (!server.waitForNewConnection(kEncoderWaitSliceMs))
            continue;
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            if (LocalPeer::openedByThisProcess(socket->socketDescriptor()))
                return socket;
            refuse(socket);
        }
    }
    return nullptr;
}

void RESender::refuse(QTcpSocket *socket)
{
    if (m_refusedConnections++ == 0)
        logLine(QStringLiteral("RESender: refused a connection that is not ours from ")
                + socket->peerAddress().toString() + ":" + QString::number(socket->peerPort()));
    socket->abort();
    socket->deleteLater();
}

void RESender::warmUp()
{
    QElapsedTimer warming;
    warming.start();
    while (!m_stopRequested && m_srtSocket != SRT_INVALID_SOCK && warming.elapsed() < kWarmUpMs) {
        sendStuffingIfDue();
        QThread::msleep(1);
    }
}

void RESender::sendStuffingIfDue()
{
    if (m_srtSocket == SRT_INVALID_SOCK || m_discard)
        return;
    if (m_lastSend.isValid() && m_lastSend.elapsed() < kStuffingIntervalMs)
        return;
    static const QByteArray stuffing = stuffingMessage();
    sendMessage(stuffing.constData(), stuffing.size());
}

void RESender::forwardReceived(QTcpSocket *socket)
{
    relayBuffer.append(socket->readAll());
    if (m_discard) {
        relayBuffer.clear();
        return;
    }
    // Walk an offset through the buffer and cut once at the end: removing each
    // message from the front would move the rest of the buffer every time.
    int offset = 0;
    const int size = relayBuffer.size();
    while (size - offset >= kMessageSize) {
        const bool sent = sendMessage(relayBuffer.constData() + offset, kMessageSize);
        if (sent)
            copySent(offset, kMessageSize);
        offset += kMessageSize;
        if (!sent) {
            relayBuffer.remove(0, offset);
            countSendError();
            return;
        }
    }
    if (size > offset && sendMessage(relayBuffer.constData() + offset, size - offset))
        copySent(offset, size - offset);
    relayBuffer.clear();
}

void RESender::copySent(int offset, int size)
{
    if (m_copy)
        m_copy->append(relayBuffer.constData() + offset, size);
}

bool RESender::sendMessage(const char *data, int size)
{
    if (srt_send(m_srtSocket, data, size) == SRT_ERROR)
        return false;
    m_bytesHanded += size;
    m_lastSend.start();
    return true;
}

void RESender::countSendError()
{
    ++m_errorCount;
    qDebug() << "error send";
    if (m_errorCount > kMaxSendErrors) {
        logLine(QStringLiteral("*** SRT PACKET SEND ERROR (5 times).  STOP."));
        relayBuffer.clear();
        m_discard = true;
        emit srtError();
    }
}
