#include "transport/ArrowSender.h"

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

bool ArrowSender::connectControl(const SrtEndpoint &endpoint)
{
    adoptControl(std::move(openControl(endpoint).socket));
    return m_connected;
}

SrtConnection ArrowSender::openControl(const SrtEndpoint &endpoint, const std::atomic<bool> *cancel)
{
    const SrtEndpoint control =
        endpoint.withSuffix(QStringLiteral("#control")).withLatency(qMax(endpoint.latencyMs, 0));
    qDebug() << "=[ARROWS:]= start connect" << control.host << control.port << control.streamId << control.latencyMs;
    SrtConnection connection = srtConnect(control, cancel);
    qDebug() << "=[ARROWS:]= end connect" << connection.result.message() << connection.socket.get();
    return connection;
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
