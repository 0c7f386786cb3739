#pragma once
#include <QProcess>
#include <QString>

// orvanta-udp-impair as a child process between a client and an SRT server
// on loopback, losing a share of the datagrams both ways, on a port known
// once ready(). ORVANTA_LOSS_SEED picks another loss pattern (soak runs).
class LossyPath
{
public:
    LossyPath(quint16 serverPort, const QString &loss, const QStringList &extraArguments = {});
    ~LossyPath();
    LossyPath(const LossyPath &) = delete;
    LossyPath &operator=(const LossyPath &) = delete;

    bool ready();  // waits for the proxy's ready line
    quint16 port() const { return m_port; }
    // Ends the proxy; the number of datagrams it lost towards the server, or -1.
    int lostToServer();

private:
    quint16 m_port = 0;
    QProcess m_process;
    QByteArray m_output;
};
