#include "transport/RESender.h"

#include "diagnostics/LogLine.h"
#include "transport/SrtConnect.h"

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
constexpr unsigned long kShutdownWaitMs = 10000;
}

RESender::RESender(QObject *logTarget, QObject *parent) : QThread(parent), m_logTarget(logTarget)
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
    closeSrtSocket();
}

bool RESender::startRelay(QString host, int port, QString streamId, int latency)
{
    listenPort = 0;
    m_host = host;
    m_port = port;
    m_streamId = streamId;
    m_latency = latency;
    m_stop = false;
    start(QThread::InheritPriority);
    return true;
}

void RESender::stopRelay()
{
    m_stop = true;
    closeSrtSocket();
    exit(0);
    logLine(QStringLiteral("RESender STOP"));
}

void RESender::closeSrtSocket()
{
    const int socket = m_srtSocket.exchange(SRT_INVALID_SOCK);
    if (socket != SRT_INVALID_SOCK)
        srt_close(socket);
}

void RESender::run()
{
    setPriority(QThread::TimeCriticalPriority);

    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0)) {
        logLine(QStringLiteral("*** RESender LISTEN FAILED: ") + server.errorString());
        return;
    }
    listenPort = server.serverPort();
    logLine(QStringLiteral("RESender LISTEN PORT:") + QString::number(listenPort));

    m_errorCount = 0;
    logLine(QStringLiteral("Connect to SRT ") + m_host + ":" + QString::number(m_port) + "  streamid: " + m_streamId);
    int socket = SRT_INVALID_SOCK;
    const QString failure = srtConnect(&socket, m_host, quint16(m_port), m_streamId, m_latency);
    m_srtSocket = socket;
    if (m_stop)  // stopRelay() ran while connecting and found no socket to close
        closeSrtSocket();
    logLine(failure.isEmpty() ? QStringLiteral("CONNECT: SUCCESS") : QStringLiteral("CONNECT FAILED: ") + failure);

    if (waitForEncoder(server)) {
        logLine(QStringLiteral("RESender SUCCESS"));
        QTcpSocket *encoder = server.nextPendingConnection();
        relayBuffer.clear();
        connect(encoder, &QTcpSocket::readyRead, encoder, [this, encoder] { forwardReceived(encoder); },
                Qt::DirectConnection);
    } else if (!m_stop) {
        logLine(QStringLiteral("RESender FAILED TIMEOUT 101"));
    }

    exec();
    qDebug() << "RETRANSMIT STOPPED";
    server.close();
    closeSrtSocket();
}

bool RESender::waitForEncoder(QTcpServer &server)
{
    QElapsedTimer waited;
    waited.start();
    while (!m_stop && waited.elapsed() < kEncoderWaitMs) {
        if (server.waitForNewConnection(kEncoderWaitSliceMs))
            return true;
    }
    return false;
}

void RESender::forwardReceived(QTcpSocket *socket)
{
    relayBuffer.append(socket->readAll());
    if (m_stop) {
        relayBuffer.clear();
        return;
    }
    // Walk an offset through the buffer and cut once at the end: removing each
    // message from the front would move the rest of the buffer every time.
    int offset = 0;
    const int size = relayBuffer.size();
    while (size - offset >= kMessageSize) {
        const bool sent = sendMessage(relayBuffer.constData() + offset, kMessageSize);
        offset += kMessageSize;
        if (!sent) {
            relayBuffer.remove(0, offset);
            countSendError();
            return;
        }
    }
    if (size > offset)
        sendMessage(relayBuffer.constData() + offset, size - offset);
    relayBuffer.clear();
}

bool RESender::sendMessage(const char *data, int size)
{
    return srt_send(m_srtSocket, data, size) != SRT_ERROR;
}

void RESender::countSendError()
{
    ++m_errorCount;
    qDebug() << "error send";
    if (m_errorCount > kMaxSendErrors) {
        logLine(QStringLiteral("*** SRT PACKET SEND ERROR (5 times).  STOP."));
        relayBuffer.clear();
        m_stop = true;
        emit srtError();
    }
}
