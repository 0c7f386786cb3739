#pragma once
#include "transport/SrtConnect.h"
#include "transport/srt/SrtEndpoint.h"
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

    // Connects to the endpoint's "#control" stream: see openControl.
    bool connectControl(const SrtEndpoint &endpoint);
    // The blocking half of connectControl, for any thread: opens the
    // "#control" connection to the endpoint (a dotted IPv4 address and the
    // user's stream ID) with the endpoint's latency as the peer latency, 0
    // when it has none; cancel as for srtConnect.
    static SrtConnection openControl(const SrtEndpoint &endpoint, const std::atomic<bool> *cancel = nullptr);
    // Takes over a connection that openControl made, on the sender's thread.
    void adoptControl(SrtSocket socket);
    void closeControl();
    bool isConnected() const { return m_connected; }

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
    SrtSocket m_socket;
    qint32 m_commandCounter = 0;
};
