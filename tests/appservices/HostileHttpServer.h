#pragma once
#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// An HTTP server on 127.0.0.1 that answers the way a hostile or broken
// server on the path would: endless bodies, bodies sent one byte at a time,
// no answer at all, or a canned answer with chosen headers. Bounded: an
// endless body stops at kFloodLimit bytes.
class HostileHttpServer : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 kFloodLimit = 300LL * 1024 * 1024;

    enum class Behaviour {
        Canned,       // status, extra headers and body as given
        Flood,        // 200 and a JSON string that never ends, no length
        DeclaredHuge, // like Flood, announced with a 300 MB Content-Length
        Drip,         // 200 and the body, one byte per dripIntervalMs
        Silent,       // reads the request, never answers
    };

    struct Answer
    {
        Behaviour behaviour = Behaviour::Canned;
        int status = 200;
        QByteArray body;
        QByteArray extraHeaders; // "Name: value\r\n" lines
        int dripIntervalMs = 100;
    };

    HostileHttpServer();
    QString origin() const;
    void setAnswer(const QString &path, const Answer &answer);

    // Body bytes handed to the sockets so far, over every connection.
    qint64 bodyBytesSent() const { return sent; }
    // Connections that the client closed before the whole body was out.
    int connectionsCutByClient() const { return cut; }
    int requestsSeen() const { return requests; }

private:
    void accept();
    void serve(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Answer &answer);
    void floodMore(QTcpSocket *socket);
    void dripNext(QTcpSocket *socket, const QByteArray &body, int interval);
    void writeBody(QTcpSocket *socket, const QByteArray &bytes);

    QTcpServer server;
    QHash<QString, Answer> answers;
    qint64 sent = 0;
    int cut = 0;
    int requests = 0;
};
