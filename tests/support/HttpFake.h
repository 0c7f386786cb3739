#pragma once
#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

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

    HttpFake();
    QString origin() const;
    void setAnswer(const QString &path, const Answer &answer) { answers.insert(path, answer); }
    void setReply(const QString &path, int status, const QByteArray &body) { setAnswer(path, {Canned, status, body, {}}); }

    QStringList requestedPaths() const { return paths; }
    qint64 bodyBytesSent() const { return sent; }  // over every connection
    // Connections the client closed before the whole body was out.
    int connectionsCutByClient() const { return cut; }

private:
    void accept();
    void serve(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Answer &answer);
    void floodMore(QTcpSocket *socket);
    void dripNext(QTcpSocket *socket, const QByteArray &body);
    void writeBody(QTcpSocket *socket, const QByteArray &bytes);

    QTcpServer server;
    QHash<QString, Answer> answers;
    QStringList paths;
    qint64 sent = 0;
    int cut = 0;
};
