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
    // SRTO_PASSPHRASE with a 16-byte key (SRTO_PBKEYLEN); empty: no encryption.
    // Never logged.
    QByteArray passphrase;

    static constexpr int kKeyLength = 16;

    // Connects to a dotted IPv4 address, starting libsrt if need be. Returns
    // the empty text with the connection in *socket, or "srt_create_socket
    // FAILED", "init_pton FAILED", "set streamid FAILED", "set passphrase
    // FAILED" or "SRT CONNECT FAILED" with *socket empty and libsrt's reason
    // in *reason (when given); a refused connection gives the reject reason.
    // Another option that libsrt refuses only costs a debug line: a refused
    // passphrase fails, as the stream must never go out unencrypted instead.
    // *rejectReason (when given) receives libsrt's SRT_REJECT_REASON code
    // (or a server's own code), SRT_REJ_UNKNOWN when there was none.
    QString connect(const QString &address, quint16 port, SrtSocket *socket, QString *reason = nullptr,
                    int *rejectReason = nullptr) const;

    // Whether a reject reason code means that the peer answered and refused
    // (a wrong or missing passphrase, a full server), rather than that no
    // answer came in time.
    static bool isRefusal(int rejectReason);
};
