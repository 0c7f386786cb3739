#pragma once
#include "transport/srt/SrtSocket.h"
#include "transport/srt/StepResult.h"

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
    // SRTO_PASSPHRASE with a 16-byte key (SRTO_PBKEYLEN); empty: no encryption.
    // Never logged.
    QByteArray passphrase;

    static constexpr int kKeyLength = 16;

    // Connects to a dotted IPv4 address, starting libsrt if need be. On
    // success the connection is in *socket; on failure *socket is empty and
    // the result's message is "srt_create_socket FAILED", "init_pton FAILED",
    // "set streamid FAILED", "set passphrase FAILED", "SRT CONNECT CANCELLED"
    // or "SRT CONNECT FAILED", its reason libsrt's. A listener's refusal
    // is the reason then (for example "rejected by the server: this ID is
    // already streaming", "Incorrect passphrase").
    // Another option that libsrt refuses only costs a debug line: a refused
    // passphrase fails, as the stream must never go out unencrypted instead.
    // *rejectReason (when given) receives libsrt's SRT_REJECT_REASON code
    // (or a server's own code), SRT_REJ_UNKNOWN when there was none.
    StepResult connect(const QString &address, quint16 port, SrtSocket *socket, int *rejectReason = nullptr) const;

    // libsrt's reject reason of a failed connect in words, or the empty text
    // when the connect was not refused by the listener.
    static QString rejectText(int rejectReason);

    // Whether a reject reason code means that the peer answered and refused
    // (a wrong or missing passphrase, a full server), rather than that no
    // answer came in time.
    static bool isRefusal(int rejectReason);

private:
    bool connectCancellable(int socket, const void *address, int addressSize) const;
    bool awaitConnect(int epoll, int socket) const;
};
