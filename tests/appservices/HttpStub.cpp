#include "HttpStub.h"

#include <QTcpSocket>

HttpStub::HttpStub()
{
    server.listen(QHostAddress::LocalHost);
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

QString HttpStub::origin() const
{
    return QString("http://127.0.0.1:%1").arg(server.serverPort());
}

void HttpStub::setReply(const QString &path, int status, const QByteArray &body)
{
    replies.insert(path, {status, body});
}

void HttpStub::serve(QTcpSocket *socket)
{
    const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", request);
    if (!request.contains("\r\n\r\n"))
        return;
    const QList<QByteArray> requestLine = request.left(request.indexOf("\r\n")).split(' ');
    const QString path = requestLine.value(1);
    paths << path;
    const Reply reply = replies.value(path, Reply{404, "not found"});
    QByteArray answer = "HTTP/1.1 " + QByteArray::number(reply.status) + " Canned\r\n"
                        "Content-Type: application/json\r\n"
                        "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n"
                        "Connection: close\r\n\r\n" + reply.body;
    socket->write(answer);
    socket->disconnectFromHost();
}
