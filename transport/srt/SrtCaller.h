#pragma once
#include "transport/srt/SrtSocket.h"

#include <QByteArray>
#include <QString>

#include <optional>

// A live-mode SRT caller and the options it sets before connecting; an
// option left empty keeps libsrt's default.
struct SrtCaller
{
    QByteArray streamId;
    std::optional<int> peerLatencyMs;     // SRTO_PEERLATENCY: how long the receiver holds our data
    std::optional<int> latencyMs;         // SRTO_LATENCY: both directions
    std::optional<int> mss;               // SRTO_MSS
    std::optional<int> connectTimeoutMs;  // SRTO_CONNTIMEO
    std::optional<int> receiveTimeoutMs;  // SRTO_RCVTIMEO

    // Connects to a dotted IPv4 address, starting libsrt if need be. Returns
    // the empty text with the connection in *socket, or "srt_create_socket
    // FAILED", "init_pton FAILED", "set streamid FAILED" or "SRT CONNECT
    // FAILED" with *socket empty and libsrt's reason in *reason (when given).
    // An option that libsrt refuses only costs a debug line.
    QString connect(const QString &address, quint16 port, SrtSocket *socket, QString *reason = nullptr) const;
};
