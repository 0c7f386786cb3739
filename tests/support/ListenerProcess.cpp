#include "ListenerProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QStandardPaths>
#include <QThread>
#include <QUdpSocket>

namespace {
constexpr int kStartTimeoutMs = 10000;
constexpr int kPollMs = 20;

bool udpPortIsFree(quint16 port)
{
    QUdpSocket probe;
    return probe.bind(QHostAddress::LocalHost, port);
}

bool waitUntilTaken(quint16 port, const QProcess &process)
{
    QDeadlineTimer deadline(kStartTimeoutMs);
    while (udpPortIsFree(port)) {
        if (deadline.hasExpired() || process.state() != QProcess::Running)
            return false;
        QThread::msleep(kPollMs);
    }
    return true;
}
}

ListenerProcess::ListenerProcess(const QString &program, const QStringList &arguments, quint16 srtPort)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(QStandardPaths::findExecutable(program), arguments);
    m_ready = m_process.waitForStarted(kStartTimeoutMs) && waitUntilTaken(srtPort, m_process);
}

ListenerProcess::~ListenerProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(kStartTimeoutMs);
    }
}

QStringList ListenerProcess::forwardingArguments(const QString &program, quint16 srtPort, quint16 udpPort)
{
    const QString source = QStringLiteral("srt://127.0.0.1:%1?mode=listener").arg(srtPort);
    if (program == QLatin1String("ffmpeg"))
        return {"-nostdin", "-hide_banner", "-loglevel", "error", "-f", "data", "-i", source, "-map", "0", "-c",
                "copy", "-f", "data", QStringLiteral("udp://127.0.0.1:%1?pkt_size=1316").arg(udpPort)};
    return {"-a:no", "-q", source, QStringLiteral("udp://127.0.0.1:%1").arg(udpPort)};
}
