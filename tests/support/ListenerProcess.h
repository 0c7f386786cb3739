#pragma once
#include "FreePorts.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

#include <unistd.h>

// An SRT listener program (srt-live-transmit or ffmpeg) as a child process,
// forwarding each message as it arrives to a UDP port on 127.0.0.1, or to a
// file through its standard output (which, unlike loopback UDP, drops nothing
// when the machine is busy). Neither program can bind port 0 and say which
// port it got, so a free port is picked beforehand, and another tried should
// the program fail to bind it; ready once its own process holds the port.
class ListenerProcess
{
public:
    // target: a udp:// URL, or a file the program's standard output goes to;
    // sourceParameters are appended to the SRT URL, e.g. "&passphrase=...&pbkeylen=16".
    ListenerProcess(const QString &program, const QString &target, const QString &sourceParameters = QString())
        : m_program(program), m_target(target), m_sourceParameters(sourceParameters)
    {
        if (!target.startsWith(QLatin1String("udp://")))
            m_process.setStandardOutputFile(target);
        for (int attempt = 0; attempt < 3 && !m_ready; ++attempt)
            m_ready = startOn(freeLoopbackPort());
    }
    ~ListenerProcess() { end(); }
    ListenerProcess(const ListenerProcess &) = delete;
    ListenerProcess &operator=(const ListenerProcess &) = delete;

    bool isReady() const { return m_ready && m_process.state() == QProcess::Running; }
    quint16 srtPort() const { return m_srtPort; }
    QByteArray output() { return m_process.readAllStandardError() + m_process.readAllStandardOutput(); }

private:
    static constexpr int kStartTimeoutMs = 10000;

    bool startOn(quint16 srtPort)
    {
        end();
        m_srtPort = srtPort;
        const QString source = QStringLiteral("srt://127.0.0.1:%1?mode=listener").arg(srtPort)
                               + m_sourceParameters;
        const bool toUdp = m_target.startsWith(QLatin1String("udp://"));
        const QString path = QStandardPaths::findExecutable(m_program);
        if (m_program == QLatin1String("ffmpeg"))
            m_process.start(path, {"-nostdin", "-loglevel", "error", "-f", "data", "-i", source, "-map", "0",
                                   "-c", "copy", "-f", "data", toUdp ? m_target + "?pkt_size=1316" : "pipe:1"});
        else
            m_process.start(path, {"-a:no", "-q", source, toUdp ? m_target : QStringLiteral("file://con")});
        if (!m_process.waitForStarted(kStartTimeoutMs))
            return false;
        QDeadlineTimer deadline(kStartTimeoutMs);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            if (holdsOneOf(udpSockets(srtPort)))
                return true;
            m_process.waitForFinished(20);
        }
        return false;
    }
    void end()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(kStartTimeoutMs);
        }
    }
    // The UDP sockets bound to this port on any local address, as "socket:[INODE]",
    // the way /proc/PID/fd names them.
    static QList<QByteArray> udpSockets(quint16 port)
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
    bool holdsOneOf(const QList<QByteArray> &sockets) const
    {
        const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(m_process.processId()));
        const auto entries = QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot;
        for (const QString &name : descriptors.entryList(entries)) {
            char target[64] = {};
            const QByteArray path = QFile::encodeName(descriptors.filePath(name));
            const ssize_t size = ::readlink(path.constData(), target, sizeof target - 1);
            if (size > 0 && sockets.contains(QByteArray(target, int(size))))
                return true;
        }
        return false;
    }

    QString m_program;
    QString m_target;
    QString m_sourceParameters;
    quint16 m_srtPort = 0;
    QProcess m_process;
    bool m_ready = false;
};
