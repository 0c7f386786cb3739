#pragma once
#include "transport/srt/SrtSocket.h"

#include <QByteArray>
#include <QString>

#include <atomic>
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
    // When set, the connect waits in short slices and gives up ("SRT CONNECT
    // CANCELLED") as soon as the flag turns true, so that a Stop never waits
    // for the connect time-out.
    const std::atomic<bool> *cancel = nullptr;

    // Connects to a dotted IPv4 address, starting libsrt if need be. Returns
    // the empty text with the connection in *socket, or "srt_create_socket
    // FAILED", "init_pton FAILED", "set streamid FAILED" or "SRT CONNECT
    // FAILED" with *socket empty and libsrt's reason in *reason (when given).
    // A listener's refusal puts its reject reason into *reason (for example
    // "rejected by the server: this ID is already streaming").
    // An option that libsrt refuses only costs a debug line.
    QString connect(const QString &address, quint16 port, SrtSocket *socket, QString *reason = nullptr) const;

    // libsrt's reject reason of a failed connect in words, or the empty text
    // when the connect was not refused by the listener.
    static QString rejectText(int rejectReason);

private:
    bool connectCancellable(int socket, const void *address, int addressSize) const;
};
