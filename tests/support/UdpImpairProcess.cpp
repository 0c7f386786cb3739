#include "UdpImpairProcess.h"

#include "FreePorts.h"

namespace {
constexpr int kTimeoutMs = 10000;
constexpr int kLifetimeSeconds = 60;
}

UdpImpairProcess::UdpImpairProcess(quint16 serverPort, int kbitsPerSecond, double loss) : m_port(freeLoopbackPort())
{
    m_proxy.start(binaryPath(), {"--listen", QStringLiteral("127.0.0.1:%1").arg(m_port), "--server",
                                 QStringLiteral("127.0.0.1:%1").arg(serverPort), "--rate",
                                 QString::number(kbitsPerSecond), "--loss", QString::number(loss), "--lifetime",
                                 QString::number(kLifetimeSeconds)});
    // It prints a line once it listens.
    m_ready = m_proxy.waitForReadyRead(kTimeoutMs);
}

UdpImpairProcess::~UdpImpairProcess()
{
    m_proxy.terminate();
    if (!m_proxy.waitForFinished(kTimeoutMs)) {
        m_proxy.kill();
        m_proxy.waitForFinished(kTimeoutMs);
    }
}

QString UdpImpairProcess::binaryPath()
{
    return QStringLiteral(ORVANTA_BINARY_DIR "/tools/udp-impair/orvanta-udp-impair");
}
