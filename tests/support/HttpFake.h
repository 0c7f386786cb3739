#pragma once
#include <QHash>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

// An HTTP/1.1 server on 127.0.0.1 answering per path as a good, broken or
// hostile server would; an endless body stops at kFloodLimit bytes.
class HttpFake : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 kFloodLimit = 300LL * 1024 * 1024;

    enum Behaviour {
        Canned,       // status, extra headers and body as given
        Flood,        // 200 and a JSON string that never ends, no length
        DeclaredHuge, // like Flood, announced with a 300 MB Content-Length
        Drip,         // 200 and the body, one byte every 100 ms
        Silent,       // reads the request, never answers
    };

    struct Answer
    {
        Behaviour behaviour = Canned;
        int status = 200;
        QByteArray body;
        QByteArray extraHeaders; // "Name: value\r\n" lines
    };

    HttpFake()
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, &HttpFake::accept);
    }
    QString origin() const { return QStringLiteral("http://127.0.0.1:%1").arg(server.serverPort()); }
    void setAnswer(const QString &path, const Answer &answer) { answers.insert(path, answer); }
    void setReply(const QString &path, int status, const QByteArray &body) { setAnswer(path, {Canned, status, body, {}}); }

    QStringList requestedPaths() const { return paths; }
    qint64 bodyBytesSent() const { return sent; }  // over every connection
    // Connections the client closed before the whole body was out.
    int connectionsCutByClient() const { return cut; }

private:
    void accept()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            // With the server as context, a socket that the server's own end
            // deletes reports nothing to a server half gone.
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                cut += socket->property("complete").toBool() ? 0 : 1;
                socket->deleteLater();
            });
        }
    }

    void serve(QTcpSocket *socket)
    {
        const QByteArray request = socket->property("request").toByteArray() + socket->readAll();
        socket->setProperty("request", request);
        if (!request.contains("\r\n\r\n") || socket->property("answered").toBool())
            return;
        socket->setProperty("answered", true);
        paths << QString::fromLatin1(request.left(request.indexOf("\r\n")).split(' ').value(1));
        const Answer answer = answers.value(paths.last(), Answer{Canned, 404, "not found", {}});
        QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) + " Fake\r\n"
                          "Content-Type: application/json\r\nConnection: close\r\n" + answer.extraHeaders;
        if (answer.behaviour == Silent)
            return;
        if (answer.behaviour == Flood || answer.behaviour == DeclaredHuge) {
            if (answer.behaviour == DeclaredHuge)
                head += "Content-Length: " + QByteArray::number(kFloodLimit) + "\r\n";
            socket->write(head + "\r\n");
            writeBody(socket, "{\"build\":99,\"url\":\"srt://h:1/s\",\"msg\":\"");
            connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { floodMore(socket); });
            floodMore(socket);
            return;
        }
        socket->write(head + "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n\r\n");
        if (answer.behaviour == Drip)
            return dripNext(socket, answer.body);
        writeBody(socket, answer.body);
        socket->setProperty("complete", true);
        socket->disconnectFromHost();
    }

    void writeBody(QTcpSocket *socket, const QByteArray &bytes)
    {
        socket->write(bytes);
        sent += bytes.size();
    }

    // Kept below a quarter megabyte queued, so that the flood follows the client's reading.
    void floodMore(QTcpSocket *socket)
    {
        static const QByteArray chunk(64 * 1024, 'A');
        while (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() < 4 * chunk.size()
               && sent < kFloodLimit)
            writeBody(socket, chunk);
    }

    void dripNext(QTcpSocket *socket, const QByteArray &body)
    {
        const int position = socket->property("dripped").toInt();
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
        if (position >= body.size()) {
            socket->setProperty("complete", true);
            return socket->disconnectFromHost();
        }
        writeBody(socket, body.mid(position, 1));
        socket->setProperty("dripped", position + 1);
        QTimer::singleShot(100, this, [this, guarded = QPointer<QTcpSocket>(socket), body] {
            if (guarded)
                dripNext(guarded, body);
        });
    }

    QTcpServer server;
    QHash<QString, Answer> answers;
    QStringList paths;
    qint64 sent = 0;
    int cut = 0;
};
