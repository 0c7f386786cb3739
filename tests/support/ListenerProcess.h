#pragma once
#include <QByteArray>
#include <QProcess>
#include <QString>

// An independent SRT listener program (srt-live-transmit or ffmpeg) as a
// child process for one test, forwarding each message it receives to a UDP
// port on 127.0.0.1 as soon as it has it. The destructor ends it.
//
// Neither program can bind port 0 and say which port it got, so the SRT port
// is picked free beforehand. Should another process take it first, the
// program fails to bind and ends, and another port is tried; the listener is
// ready once its own process holds the port.
class ListenerProcess
{
public:
    // sourceParameters are appended to the SRT listener URL, e.g.
    // "&passphrase=...&pbkeylen=16".
    ListenerProcess(const QString &program, quint16 udpPort, const QString &sourceParameters = QString());
    ~ListenerProcess();
    ListenerProcess(const ListenerProcess &) = delete;
    ListenerProcess &operator=(const ListenerProcess &) = delete;

    bool isReady() const { return m_ready && m_process.state() == QProcess::Running; }
    quint16 srtPort() const { return m_srtPort; }
    QByteArray output() { return m_process.readAll(); }

private:
    bool startOn(quint16 srtPort);
    bool waitUntilBound();
    void end();
    QStringList arguments() const;

    QString m_program;
    quint16 m_udpPort = 0;
    QString m_sourceParameters;
    quint16 m_srtPort = 0;
    QProcess m_process;
    bool m_ready = false;
};
