#pragma once
#include <QByteArray>
#include <QProcess>
#include <QStringList>

// An independent SRT listener program (srt-live-transmit, ffmpeg) as a child
// process for one test; ready once its SRT port on 127.0.0.1 is taken. The
// destructor ends it if it still runs.
class ListenerProcess
{
public:
    ListenerProcess(const QString &program, const QStringList &arguments, quint16 srtPort);
    ~ListenerProcess();
    ListenerProcess(const ListenerProcess &) = delete;
    ListenerProcess &operator=(const ListenerProcess &) = delete;

    bool isReady() const { return m_ready && m_process.state() == QProcess::Running; }
    QByteArray output() { return m_process.readAll(); }

    // Arguments that make srt-live-transmit or ffmpeg listen on srtPort and
    // forward each message to udpPort on 127.0.0.1 as soon as it has it.
    static QStringList forwardingArguments(const QString &program, quint16 srtPort, quint16 udpPort);

private:
    QProcess m_process;
    bool m_ready = false;
};
