#pragma once
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QString>

// orvanta-udp-impair as a child process between clients and an SRT server
// on loopback, losing a share of the datagrams both ways, on a port known
// once ready(). ORVANTA_LOSS_SEED picks another loss pattern (soak runs).
class LossyPath
{
public:
    LossyPath(quint16 serverPort, const QString &loss, const QStringList &extraArguments = {})
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        const QString server = QStringLiteral("127.0.0.1:%1").arg(serverPort);
        const QString seed = qEnvironmentVariable("ORVANTA_LOSS_SEED", "11");
        m_process.start(QStringLiteral(ORVANTA_BINARY_DIR "/tools/udp-impair/orvanta-udp-impair"),
                        QStringList{"--listen", "127.0.0.1:0", "--server", server, "--loss", loss, "--delay",
                                    "5", "--seed", seed, "--lifetime", "120"} + extraArguments);
    }
    ~LossyPath()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(kWaitMs))
                m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }
    LossyPath(const LossyPath &) = delete;
    LossyPath &operator=(const LossyPath &) = delete;

    bool ready()  // waits for the proxy's ready line
    {
        static const QRegularExpression readyLine("ready on [0-9.]+:(\\d+)\n");
        QDeadlineTimer deadline(kWaitMs);
        while (m_port == 0 && !deadline.hasExpired() && m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(50);
            m_output += m_process.readAll();
            const QRegularExpressionMatch match = readyLine.match(QString::fromUtf8(m_output));
            if (match.hasMatch())
                m_port = quint16(match.captured(1).toUInt());
        }
        return m_port != 0;
    }
    quint16 port() const { return m_port; }
    // Ends the proxy; the number of datagrams it lost towards the server, or -1.
    int lostToServer()
    {
        m_process.terminate();
        m_process.waitForFinished(kWaitMs);
        m_output += m_process.readAll();
        const QRegularExpressionMatch match =
            QRegularExpression("to server: forwarded \\d+, lost (\\d+)").match(QString::fromUtf8(m_output));
        return match.hasMatch() ? match.captured(1).toInt() : -1;
    }

private:
    static constexpr int kWaitMs = 10000;
    quint16 m_port = 0;
    QProcess m_process;
    QByteArray m_output;
};
