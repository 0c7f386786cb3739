#include "ListenerProcess.h"

#include "FreePorts.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <unistd.h>

namespace {
constexpr int kStartTimeoutMs = 10000;
constexpr int kAttempts = 3;
constexpr int kPollMs = 20;

// The UDP sockets bound to this port on any local address, as "socket:[INODE]",
// the way /proc/PID/fd names them.
QList<QByteArray> udpSockets(quint16 port)
{
    QList<QByteArray> sockets;
    QFile table(QStringLiteral("/proc/net/udp"));
    if (!table.open(QIODevice::ReadOnly))
        return sockets;
    const QByteArray local = ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 9 && fields.at(1).endsWith(local))
            sockets << "socket:[" + fields.at(9) + ']';
    }
    return sockets;
}

bool processHoldsOneOf(qint64 pid, const QList<QByteArray> &sockets)
{
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &name : descriptors.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[64] = {};
        const ssize_t size = ::readlink(QFile::encodeName(descriptors.filePath(name)).constData(), target,
                                        sizeof target - 1);
        if (size > 0 && sockets.contains(QByteArray(target, int(size))))
            return true;
    }
    return false;
}
}

ListenerProcess::ListenerProcess(const QString &program, quint16 udpPort, const QString &sourceParameters)
    : m_program(program), m_udpPort(udpPort), m_sourceParameters(sourceParameters)
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    for (int attempt = 0; attempt < kAttempts && !m_ready; ++attempt)
        m_ready = startOn(freeLoopbackPort());
}

ListenerProcess::~ListenerProcess()
{
    end();
}

bool ListenerProcess::startOn(quint16 srtPort)
{
    end();
    m_srtPort = srtPort;
    const QString source = QStringLiteral("srt://127.0.0.1:%1?mode=listener").arg(m_srtPort) + m_sourceParameters;
    const QString target = QStringLiteral("udp://127.0.0.1:%1").arg(m_udpPort);
    if (m_program == QLatin1String("ffmpeg"))
        m_process.start(QStandardPaths::findExecutable(m_program),
                        {"-nostdin", "-hide_banner", "-loglevel", "error", "-f", "data", "-i", source, "-map", "0",
                         "-c", "copy", "-f", "data", target + QStringLiteral("?pkt_size=1316")});
    else
        m_process.start(QStandardPaths::findExecutable(m_program), {"-a:no", "-q", source, target});
    if (!m_process.waitForStarted(kStartTimeoutMs))
        return false;
    QDeadlineTimer deadline(kStartTimeoutMs);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        if (processHoldsOneOf(m_process.processId(), udpSockets(m_srtPort)))
            return true;
        m_process.waitForFinished(kPollMs);
    }
    return false;
}

void ListenerProcess::end()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(kStartTimeoutMs);
    }
}
