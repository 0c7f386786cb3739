#include "transport/ArrowSender.h"

#include "transport/SrtConnect.h"

#include <QDebug>
#include <QtEndian>

#include <srt/srt.h>

namespace {
constexpr int kCounterOffset = 1312;
}

ArrowSender::ArrowSender(QObject *parent) : QObject(parent) {}

ArrowSender::~ArrowSender()
{
    closeControl();
}

bool ArrowSender::connectControl(QString host, int port, QString streamId, const QByteArray &passphrase)
{
    adoptControl(openControl(host, port, streamId, nullptr, &m_connectFailure, passphrase));
    return m_connected;
}

SrtSocket ArrowSender::openControl(const QString &host, int port, QString streamId, const std::atomic<bool> *cancel,
                                   QString *failure, const QByteArray &passphrase, int peerLatencyMs, bool *refused)
{
    streamId += QStringLiteral("#control");
    qDebug() << "=[ARROWS:]= start connect" << host << port << streamId << peerLatencyMs;
    int socket = SrtSocket::kInvalid;
    QString reason;
    const QString result =
        srtConnect(&socket, host, quint16(port), streamId, peerLatencyMs, cancel, &reason, passphrase, refused);
    qDebug() << "=[ARROWS:]= end connect" << result << socket;
    if (failure)
        *failure = failureWithReason(result, reason);
    return SrtSocket(socket);
}

void ArrowSender::adoptControl(SrtSocket socket)
{
    m_connected = false;
    m_socket = std::move(socket);
    m_connected = m_socket.isValid();
}

void ArrowSender::closeControl()
{
    m_socket.reset();
    m_connected = false;
}

qint32 ArrowSender::nextCounter(qint32 counter, bool isLeftClicked)
{
    // Unsigned arithmetic: the counter wraps instead of overflowing after 2^31 commands.
    const quint32 current = quint32(counter);
    return qint32(current + 1 + ((current & 1u) ^ (isLeftClicked ? 1u : 0u)));
}

QByteArray ArrowSender::commandMessage(qint32 counter)
{
    char message[kMessageSize] = {};
    qToLittleEndian<qint32>(counter, message + kCounterOffset);
    return QByteArray(message, kMessageSize);
}

void ArrowSender::arrowClicked(bool isLeftClicked)
{
    if (!m_connected) {
        qDebug() << "ARROW NOT CONNECTED";
        return;
    }
    m_commandCounter = nextCounter(m_commandCounter, isLeftClicked);
    qDebug() << "ARROW SEND " << m_commandCounter;
    const QByteArray message = commandMessage(m_commandCounter);
    for (int copy = 0; copy < kCopies; ++copy)
        srt_send(m_socket.get(), message.constData(), message.size());
}
