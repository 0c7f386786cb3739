#pragma once
#include <QByteArray>
#include <QString>
#include <QThread>

#include <atomic>

class QTcpSocket;

// The stream relay: listens on 127.0.0.1 (port chosen by the system) for the
// encoder's TCP connection and forwards every received byte to the SRT media
// connection in 1316-byte messages. One relay serves one broadcast; it is
// started once and stopped with stopRelay().
class RESender : public QThread
{
    Q_OBJECT
public:
    // logTarget is the log viewer handed to every log line (kept for the
    // callers' sake; the shared log function does not use it).
    explicit RESender(QObject *logTarget, QObject *parent = nullptr);
    ~RESender() override;

    bool startRelay(QString host, int port, QString streamId, int latency);
    void stopRelay();

    // Local TCP port to hand to the encoder; 0 until the relay is listening.
    std::atomic<int> listenPort{0};

    static constexpr int kMessageSize = 1316;
    static constexpr int kMaxSendErrors = 5;

signals:
    void srtError();

protected:
    void run() override;

private:
    bool waitForEncoder(class QTcpServer &server);
    void forwardReceived(QTcpSocket *socket);
    bool sendMessage(const char *data, int size);
    void countSendError();
    void closeSrtSocket();

    QObject *m_logTarget = nullptr;
    QString m_host;
    int m_port = 0;
    QString m_streamId;
    int m_latency = 0;
    QByteArray relayBuffer;
    std::atomic<int> m_srtSocket{-1};
    std::atomic<bool> m_stop{false};
    int m_errorCount = 0;
};
