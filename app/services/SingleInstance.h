#pragma once
#include <QLocalServer>
#include <QObject>
#include <QString>

class QLocalSocket;

// One running program per user. The first start listens on a local socket in
// the user's runtime folder; a later start hands its link argument (or an
// empty text for a plain start) to it and ends, and the running one reports
// it with linkReceived(). What arrives is data: a text of bounded size that
// the window treats exactly as a link argument.
class SingleInstance : public QObject
{
    Q_OBJECT
public:
    enum class Role { Running, HandedOver };

    static constexpr int kHandOverWaitMs = 5000;
    static constexpr int kMaxMessageBytes = 64 * 1024;

    // serverPath: the socket's path; the default lies in the runtime folder.
    explicit SingleInstance(QString serverPath = defaultServerPath(), QObject *parent = nullptr);

    static QString defaultServerPath();

    // Hands the link to the running program, or else becomes it. Two starts
    // at the same moment take turns (a lock file beside the socket), so that
    // exactly one of them runs. A program that cannot listen still runs.
    Role handOverOrListen(const QString &link);

    // Hands the link to a running program; true when it confirmed.
    bool handOver(const QString &link, int timeoutMs = kHandOverWaitMs) const;
    // Becomes the running program; a socket left by one that ended goes.
    bool listen();
    bool isListening() const { return m_server.isListening(); }

signals:
    // A later start's link; empty for a plain start (which only raises the window).
    void linkReceived(const QString &link);

private:
    void acceptConnections();
    void readFrom(QLocalSocket *socket);

    QString m_serverPath;
    QLocalServer m_server;
};
