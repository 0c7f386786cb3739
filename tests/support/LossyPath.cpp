#include "LossyPath.h"

#include "FreePorts.h"

#include <QRegularExpression>

namespace {
constexpr int kWaitMs = 10000;
}

LossyPath::LossyPath(quint16 serverPort, const QString &loss, const QStringList &extraArguments)
    : m_port(freeLoopbackPort())
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(binaryPath(), QStringList{"--listen", QStringLiteral("127.0.0.1:%1").arg(m_port), "--server",
                                              QStringLiteral("127.0.0.1:%1").arg(serverPort), "--loss", loss,
                                              "--delay", "5", "--seed",
                                              qEnvironmentVariable("ORVANTA_LOSS_SEED", "11"), "--lifetime", "120"}
                                      + extraArguments);
}

LossyPath::~LossyPath()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(kWaitMs))
            m_process.kill();
        m_process.waitForFinished(kWaitMs);
    }
}

QString LossyPath::binaryPath()
{
    return QStringLiteral(ORVANTA_BINARY_DIR "/tools/udp-impair/orvanta-udp-impair");
}

bool LossyPath::ready()
{
    return m_process.waitForReadyRead(kWaitMs);
}

int LossyPath::lostToServer()
{
    m_process.terminate();
    m_process.waitForFinished(kWaitMs);
    const QRegularExpressionMatch match =
        QRegularExpression("to server: forwarded \\d+, lost (\\d+)").match(m_process.readAll());
    return match.hasMatch() ? match.captured(1).toInt() : -1;
}
