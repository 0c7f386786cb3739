#include "HostileHttpServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr qint64 kFloodChunk = 64 * 1024;
constexpr qint64 kFloodQueue = 256 * 1024;
const char *const kFloodStart = "{\"build\":99,\"url\":\"srt://h:1/s\",\"msg\":\"";
} // namespace

HostileHttpServer::HostileHttpServer()
{
    server.listen(QHostAddress::LocalHost);
    connect(&server, &QTcpServer::newConnection, this, &HostileHttpServer::accept);
}

QString HostileHttpServer::origin() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

void HostileHttpServer::setAnswer(const QString &path, const Answer &answer)
{
    answers.insert(path, answer);
}

void HostileHttpServer::accept()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        // With the server as context, a socket that the server's own end
        // deletes reports nothing to a server half gone.
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            if (!socket->property("complete").toBool())
                ++cut;
            socket->deleteLater();
        });
    }
}

void HostileHttpServer::serve(QTcpSocket *socket)
{
    const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
        return;
    socket->setProperty("answered", true);
    ++requests;
    const QString path = QString::fromLatin1(request.left(request.indexOf("\r\n")).split(' ').value(1));
    Answer notFound;
    notFound.status = 404;
    notFound.body = "not found";
    answer(socket, answers.value(path, notFound));
}

void HostileHttpServer::answer(QTcpSocket *socket, const Answer &answer)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Hostile\r\n"
                      "Content-Type: application/json\r\nConnection: close\r\n" + answer.extraHeaders;
    switch (answer.behaviour) {
    case Behaviour::Silent:
        return;
    case Behaviour::Flood:
    case Behaviour::DeclaredHuge:
        if (answer.behaviour == Behaviour::DeclaredHuge)
            head += "Content-Length: " + QByteArray::number(kFloodLimit) + "\r\n";
        socket->write(head + "\r\n");
        writeBody(socket, kFloodStart);
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { floodMore(socket); });
        floodMore(socket);
        return;
    case Behaviour::Drip:
        socket->write(head + "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n");
        dripNext(socket, answer.body, answer.dripIntervalMs);
        return;
    case Behaviour::Canned:
        socket->write(head + "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n");
        writeBody(socket, answer.body);
        socket->setProperty("complete", true);
        socket->disconnectFromHost();
        return;
    }
}

void HostileHttpServer::writeBody(QTcpSocket *socket, const QByteArray &bytes)
{
    socket->write(bytes);
    sent += bytes.size();
}

void HostileHttpServer::floodMore(QTcpSocket *socket)
{
    static const QByteArray chunk(kFloodChunk, 'A');
    while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < kFloodQueue
           && sent < kFloodLimit)
        writeBody(socket, chunk);
}

void HostileHttpServer::dripNext(QTcpSocket *socket, const QByteArray &body, int interval)
{
    const int position = socket->property("dripped").toInt();
    if (socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (position >= body.size()) {
        socket->setProperty("complete", true);
        socket->disconnectFromHost();
        return;
    }
    writeBody(socket, body.mid(position, 1));
    socket->setProperty("dripped", position + 1);
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(interval, this, [this, guarded, body, interval] {
        if (guarded)
            dripNext(guarded, body, interval);
    });
}
