#pragma once
#include "transport/srt/SrtSocket.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <atomic>

// Sends left/right arrow commands over the "#control" SRT connection. Each
// command carries a counter whose parity gives the direction (even = left,
// odd = right) and is sent as ten identical 1316-byte messages.
class ArrowSender : public QObject
{
    Q_OBJECT
public:
    explicit ArrowSender(QObject *parent = nullptr);
    ~ArrowSender() override;

    // A non-empty passphrase encrypts the connection.
    bool connectControl(QString host, int port, QString streamId, const QByteArray &passphrase = QByteArray());
    // Why the last connectControl() failed, with libsrt's reject reason; empty after success.
    QString connectFailure() const { return m_connectFailure; }
    // The blocking half of connectControl, for any thread: opens the
    // "#control" connection (empty socket and *failure set when it fails,
    // *refused when the server answered with a refusal; cancel as for
    // srtConnect) with the given peer latency.
    static SrtSocket openControl(const QString &host, int port, QString streamId,
                                 const std::atomic<bool> *cancel = nullptr, QString *failure = nullptr,
                                 const QByteArray &passphrase = QByteArray(), int peerLatencyMs = 0,
                                 bool *refused = nullptr);
    // Takes over a connection that openControl made, on the sender's thread.
    void adoptControl(SrtSocket socket);
    void closeControl();
    bool isConnected() const { return m_connected; }
    qint32 commandCounter() const { return m_commandCounter; }

    // The counter that follows `counter` for a command in the given direction.
    static qint32 nextCounter(qint32 counter, bool isLeftClicked);
    // One command message: 1312 zero bytes, then the counter little-endian.
    static QByteArray commandMessage(qint32 counter);

    static constexpr int kMessageSize = 1316;
    static constexpr int kCopies = 10;

public slots:
    void arrowClicked(bool isLeftClicked);

private:
    std::atomic<bool> m_connected{false};
    QString m_connectFailure;
    SrtSocket m_socket;
    qint32 m_commandCounter = 0;
};
