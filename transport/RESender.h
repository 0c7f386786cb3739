#pragma once
#include "transport/srt/SrtEndpoint.h"
#include "transport/srt/SrtStatistics.h"
#include "transport/srt/StepResult.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <mutex>

class QTcpSocket;
class StreamCopy;

// The stream relay: listens on 127.0.0.1 (port chosen by the system) for the
// encoder's TCP connection and forwards every received byte to the SRT media
// connection in 1316-byte messages; it takes the connection of this process's
// own writer only (LocalPeer). One relay serves one broadcast; it is
// started once and stopped with stopRelay(). Before the encoder's first byte
// and behind its last one the relay may send MPEG-TS null packets, which
// readers skip, to keep libsrt's loss recovery working at the edges of the
// stream (see the .cpp). A stop delivers the tail: what
// the encoder sent until it closed its connection still goes out, and the
// SRT socket closes only once the server has acknowledged it and had the
// latency window to play it out (both waits bounded).
class RESender : public QThread
{
    Q_OBJECT
public:
    explicit RESender(QObject *parent = nullptr);
    ~RESender() override;

    // Before startRelay: every byte of the encoder's stream that goes out
    // goes into this copy too (stuffing does not).
    void setCopy(std::shared_ptr<StreamCopy> copy) { m_copy = std::move(copy); }
    // Starts the thread towards the endpoint (a dotted IPv4 address; its
    // latency is the peer latency, a non-empty passphrase encrypts). How
    // the SRT connection went is known once listenPort is set.
    void startRelay(const SrtEndpoint &endpoint);
    void stopRelay();

    // Local TCP port to hand to the encoder; 0 until the relay is listening
    // and its SRT connection is ready for data (or failed).
    std::atomic<int> listenPort{0};

    // Valid once listenPort is set: whether the SRT media connection came up
    // and, when not, why (srtConnect's failure with libsrt's reason, a
    // listener's refusal included).
    StepResult connectResult() const;
    // Whether the error rule has ended the connection (srtError was sent) or
    // libsrt reports the media connection broken.
    bool hasFailed() const;
    // The media connection's figures since the last call; nothing while
    // there is no connection.
    std::optional<SrtStatistics> takeStatistics();
    // The latency both ends agreed on for the media connection (ms), which
    // may exceed the one asked for; the one asked for without a connection.
    int agreedLatencyMs() const;
    // Payload handed to libsrt so far (stuffing included): with the send
    // buffer's fill it tells what the receiver acknowledged.
    qint64 bytesHanded() const { return m_bytesHanded; }
    // Payload in libsrt's send buffer now, not yet acknowledged (srt_bstats
    // gives only a moving average of it); -1 without a connection.
    qint64 sendBufferBytes() const;

    static constexpr int kMessageSize = 1316;
    static constexpr int kMaxSendErrors = 5;
    // How long a stop waits for the encoder to close its connection.
    static constexpr int kEncoderCloseWaitMs = 1000;
    // How long a stop waits beyond the latency and the play-out margin for
    // the server's acknowledgements.
    static constexpr int kDrainGraceMs = 1000;

signals:
    void srtError();

protected:
    void run() override;

private:
    void relay();
    QTcpSocket *waitForEncoder(class QTcpServer &server);
    void refuse(QTcpSocket *socket);
    void forwardReceived(QTcpSocket *socket);
    void forwardUntilEncoderCloses(QTcpSocket *socket);
    void waitForDelivery();
    void warmUp();
    void sendStuffingIfDue();
    bool sendMessage(const char *data, int size);
    void copySent(int offset, int size);
    void countSendError();
    void closeSrtSocket();

    SrtEndpoint m_endpoint;
    QByteArray relayBuffer;
    std::atomic<int> m_srtSocket{-1};
    mutable std::mutex m_connectMutex;  // guards m_connectResult
    StepResult m_connectResult;
    // Set by stopRelay(): no more waiting for the encoder, end after the tail.
    std::atomic<bool> m_stopRequested{false};
    // Set by the error rule: received bytes are thrown away.
    std::atomic<bool> m_discard{false};
    int m_errorCount = 0;
    QElapsedTimer m_lastSend;
    // How long after the latency the server may play the last message out.
    int m_playOutMarginMs = 0;
    std::atomic<qint64> m_bytesHanded{0};
    // Connections to the relay's port that did not come from this process's
    // writer, each closed as it arrived.
    int m_refusedConnections = 0;
    std::shared_ptr<StreamCopy> m_copy;
};
