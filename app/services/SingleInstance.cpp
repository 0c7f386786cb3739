#include "app/services/SingleInstance.h"

#include <QDebug>
#include <QDir>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QTimer>

namespace {
constexpr char kEnd = '\n';
constexpr char kTaken = '1';
// A later start that sends nothing, or too slowly, is cut off after this.
constexpr int kReadLimitMs = 5000;
constexpr int kLockWaitMs = 10000;
}

SingleInstance::SingleInstance(QString serverPath, QObject *parent)
    : QObject(parent), m_serverPath(std::move(serverPath))
{
    // Other users cannot reach the socket, whatever folder it lies in.
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
}

// The runtime folder belongs to the user alone (Qt makes one with mode 0700
// when XDG_RUNTIME_DIR is not set).
QString SingleInstance::defaultServerPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QStringLiteral("/orvanta-instance");
}

SingleInstance::Role SingleInstance::handOverOrListen(const QString &link)
{
    QLockFile lock(m_serverPath + QStringLiteral(".lock"));
    if (!lock.tryLock(kLockWaitMs))
        qWarning() << "-- single instance: lock not taken," << lock.error();
    if (handOver(link))
        return Role::HandedOver;
    if (!listen())
        qWarning() << "-- single instance: cannot listen on" << m_serverPath << m_server.errorString();
    return Role::Running;
}

bool SingleInstance::handOver(const QString &link, int timeoutMs) const
{
    QLocalSocket socket;
    socket.connectToServer(m_serverPath);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    socket.write(link.toUtf8() + kEnd);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    while (socket.bytesAvailable() < 1) {
        if (!socket.waitForReadyRead(timeoutMs))
            return false;
    }
    char answer = 0;
    return socket.getChar(&answer) && answer == kTaken;
}

bool SingleInstance::listen()
{
    if (m_server.listen(m_serverPath))
        return true;
    // Nobody answered on it (handOver failed), so it is a leftover.
    QLocalServer::removeServer(m_serverPath);
    return m_server.listen(m_serverPath);
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kReadLimitMs, socket, [socket] { socket->abort(); socket->deleteLater(); });
        readFrom(socket);
    }
}

void SingleInstance::readFrom(QLocalSocket *socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxMessageBytes) {
            qWarning() << "-- single instance: message too long, dropped";
            socket->abort();
        }
        return;
    }
    // One message per connection.
    disconnect(socket, &QLocalSocket::readyRead, this, nullptr);
    QByteArray message = socket->readLine(kMaxMessageBytes + 2);
    if (!message.endsWith(kEnd)) {
        qWarning() << "-- single instance: message too long, dropped";
        socket->abort();
        return;
    }
    message.chop(1);
    socket->putChar(kTaken);
    socket->flush();
    socket->disconnectFromServer();
    emit linkReceived(QString::fromUtf8(message));
}
