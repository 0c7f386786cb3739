#pragma once
#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <QTcpServer>

// A tiny HTTP/1.1 server on 127.0.0.1 answering canned replies per path.
class HttpStub : public QObject
{
    Q_OBJECT
public:
    struct Reply
    {
        int status = 200;
        QByteArray body;
    };

    HttpStub();
    QString origin() const;
    void setReply(const QString &path, int status, const QByteArray &body);
    QStringList requestedPaths() const { return paths; }

private:
    void serve(QTcpSocket *socket);

    QTcpServer server;
    QHash<QString, Reply> replies;
    QStringList paths;
};
