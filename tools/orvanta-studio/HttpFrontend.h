#pragma once
#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTcpServer>

class QTcpSocket;
class StudioStatus;

// The studio's small HTTP/1.0 server: number lookup, update manifest and
// "/status". Requests are bounded in size and time; one answer per connection.
class HttpFrontend : public QObject
{
    Q_OBJECT
public:
    HttpFrontend(StudioStatus *status, QMap<QString, QString> numbers, QString manifestFile, QObject *parent = nullptr);
    bool listen(const QString &host, quint16 port, QString *error);
    quint16 port() const { return m_server.serverPort(); }

private:
    struct Reply {
        int code;
        QByteArray body;
    };
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    Reply answer(const QByteArray &method, const QString &path) const;
    Reply lookupNumber(const QString &number) const;
    Reply manifest() const;
    static void send(QTcpSocket *socket, const Reply &reply);

    QTcpServer m_server;
    StudioStatus *m_status;
    QMap<QString, QString> m_numbers;
    QString m_manifestFile;
    QHash<QTcpSocket *, QByteArray> m_requests;
};
