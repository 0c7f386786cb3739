#pragma once
#include <QProcess>
#include <QString>

// orvanta-udp-impair as a child process between a client and an SRT server
// on loopback, losing a share of the datagrams both ways. It listens on a
// port of the system's choosing, known once it is ready:
//
//     LossyPath path(studio.srtPort(), "0.05");
//     QVERIFY(path.ready());
//     ... connect to 127.0.0.1:path.port() ...
//
// ORVANTA_LOSS_SEED picks another loss pattern (for soak runs).
class LossyPath
{
public:
    LossyPath(quint16 serverPort, const QString &loss, const QStringList &extraArguments = {});
    ~LossyPath();
    LossyPath(const LossyPath &) = delete;
    LossyPath &operator=(const LossyPath &) = delete;

    // Waits for the proxy's ready line and reads its port from it.
    bool ready();
    quint16 port() const { return m_port; }
    // Ends the proxy; the number of datagrams it lost towards the server, or -1.
    int lostToServer();

    static QString binaryPath();

private:
    quint16 m_port = 0;
    QProcess m_process;
    QByteArray m_output;
};
