#pragma once
#include <QByteArray>
#include <QProcess>
#include <QString>

// An SRT listener program (srt-live-transmit or ffmpeg) as a child process,
// forwarding each message as it arrives to a UDP port on 127.0.0.1. Neither
// program can bind port 0 and say which port it got, so a free port is picked
// beforehand, and another tried should the program fail to bind it; ready
// once the program's own process holds the port.
class ListenerProcess
{
public:
    // sourceParameters are appended to the SRT URL, e.g. "&passphrase=...&pbkeylen=16".
    ListenerProcess(const QString &program, quint16 udpPort, const QString &sourceParameters = QString());
    ~ListenerProcess();
    ListenerProcess(const ListenerProcess &) = delete;
    ListenerProcess &operator=(const ListenerProcess &) = delete;

    bool isReady() const { return m_ready && m_process.state() == QProcess::Running; }
    quint16 srtPort() const { return m_srtPort; }
    QByteArray output() { return m_process.readAll(); }

private:
    bool startOn(quint16 srtPort);
    void end();

    QString m_program;
    quint16 m_udpPort = 0;
    QString m_sourceParameters;
    quint16 m_srtPort = 0;
    QProcess m_process;
    bool m_ready = false;
};
