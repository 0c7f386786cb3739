#include "tests/support/HttpFake.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
constexpr qint64 kFloodChunk = 64 * 1024;
constexpr qint64 kFloodQueue = 256 * 1024;
constexpr int kDripIntervalMs = 100;
const char *const kFloodStart = "{\"build\":99,\"url\":\"srt://h:1/s\",\"msg\":\"";
} // namespace

HttpFake::HttpFake()
{
    server.listen(QHostAddress::LocalHost);
    connect(&server, &QTcpServer::newConnection, this, &HttpFake::accept);
}

QString HttpFake::origin() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort());
}

void HttpFake::accept()
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

void HttpFake::serve(QTcpSocket *socket)
{
    const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
        return;
    socket->setProperty("answered", true);
    const QString path = QString::fromLatin1(request.left(request.indexOf("\r\n")).split(' ').value(1));
    paths << path;
    answer(socket, answers.value(path, Answer{Canned, 404, "not found", {}}));
}

void HttpFake::answer(QTcpSocket *socket, const Answer &answer)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Fake\r\n"
                      "Content-Type: application/json\r\nConnection: close\r\n" + answer.extraHeaders;
    const QByteArray length = "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n";
    switch (answer.behaviour) {
    case Silent:
        return;
    case Flood:
    case DeclaredHuge:
        if (answer.behaviour == DeclaredHuge)
            head += "Content-Length: " + QByteArray::number(kFloodLimit) + "\r\n";
        socket->write(head + "\r\n");
        writeBody(socket, kFloodStart);
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { floodMore(socket); });
        floodMore(socket);
        return;
    case Drip:
        socket->write(head + length);
        dripNext(socket, answer.body);
        return;
    case Canned:
        socket->write(head + length);
        writeBody(socket, answer.body);
        socket->setProperty("complete", true);
        socket->disconnectFromHost();
        return;
    }
}

void HttpFake::writeBody(QTcpSocket *socket, const QByteArray &bytes)
{
    socket->write(bytes);
    sent += bytes.size();
}

void HttpFake::floodMore(QTcpSocket *socket)
{
    static const QByteArray chunk(kFloodChunk, 'A');
    while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < kFloodQueue
           && sent < kFloodLimit)
        writeBody(socket, chunk);
}

void HttpFake::dripNext(QTcpSocket *socket, const QByteArray &body)
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
    QTimer::singleShot(kDripIntervalMs, this, [this, guarded, body] {
        if (guarded)
            dripNext(guarded, body);
    });
}
