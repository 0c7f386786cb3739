#pragma once
#include "transport/srt/SrtEndpoint.h"

#include <QByteArray>
#include <QString>

#include <memory>

class ServerField;
class StreamCopy;

// What one broadcast needs, taken from the form when Start is pressed: where
// to, and the encoder choices.
struct BroadcastPlan
{
    static constexpr int kDefaultLatencyMs = 120;

    // The host as typed, the port, the stream ID as typed (trimmed only in
    // the feedback URL), the passphrase that encrypts every connection of the
    // broadcast when not empty, and the user's latency: the least every
    // connection of the broadcast asks for.
    SrtEndpoint endpoint{QString(), 0, QString(), kDefaultLatencyMs, QByteArray()};
    // The connections ask for what the path's round trip needs when that is
    // more than the user's latency, up to latencyCeilingMs (the latency
    // field's maximum), and ask for more when the round trip grows; false:
    // the user's latency for the media and the return stream, and the arrows
    // ask for none.
    bool adaptLatency = true;
    int latencyCeilingMs = 1000;
    int videoKbps = 0;
    int audioKbps = 0;
    QString codec;
    // The video rate follows what the connection carries, videoKbps at most;
    // false: always videoKbps.
    bool adaptRate = true;
    // What goes out also goes to a file (StreamCopy); the session makes the
    // copy when it starts and hands it to every attempt.
    bool keepCopy = false;
    std::shared_ptr<StreamCopy> copy;

    // libsrt refuses stream IDs longer than this (SRTO_STREAMID).
    static constexpr int kMaxStreamIdBytes = 512;
    // The longest suffix the program appends to the stream ID ("#feedbackplay").
    static constexpr int kLongestSuffixBytes = 13;

    // libsrt takes passphrases of 10 to 79 bytes (SRTO_PASSPHRASE).
    static constexpr int kMinPassphraseBytes = 10;
    static constexpr int kMaxPassphraseBytes = 79;
    // Why libsrt would refuse this passphrase, in words for the user; empty
    // when it takes it (an empty one means no encryption).
    static QString passphraseProblem(const QByteArray &passphrase);

    // The plan for the server field and stream ID as the user typed them.
    static BroadcastPlan fromFields(const ServerField &server, const QString &streamId);

    // The feedback player's URL (the stream ID trimmed, with "#feedbackplay")
    // asking for this latency, so that the return stream is repaired as long
    // as the broadcast is.
    QString feedbackUrl(int latencyMs) const;

    // Why this plan cannot start, in words for the user; empty when it can.
    QString problem() const;
};
