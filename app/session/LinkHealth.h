#pragma once
#include <QMetaType>
#include <QString>
#include <QtGlobal>

struct SrtStatistics;

// The state of the media connection over the last interval, as the status
// line shows it while broadcasting: from the sender's SRT figures and the
// writer's count of frames it had to drop.
struct LinkHealth
{
    double sendKbps = 0;
    double rttMs = 0;
    double lossPercent = 0;           // packets reported lost by the receiver
    double retransmitPercent = 0;     // packets sent again
    qint64 packetsSent = 0;           // in the interval, retransmissions included
    qint64 packetsDropped = 0;        // given up by the sender as too late
    quint64 framesDropped = 0;        // by the writer since the broadcast began
    qint64 acksReceived = 0;          // acknowledgements from the server in the interval
    // The video rate the encoder works at and the one the user set (kbit/s);
    // below the set one while the connection does not carry more.
    int videoKbps = 0;
    int videoCeilingKbps = 0;
    double carriedKbps = 0;           // about what the connection carried when it was lowered
    int latencyMs = 0;                // the one in use; 0: not known
    int advisedLatencyMs = 0;         // a latency that would repair the losses; 0: the set one does
    double adviceRttMs = 0;           // the round trip the advice was taken over

    // Beyond these the status line turns to its warning colour.
    static constexpr double kLossWarningPercent = 5.0;
    static constexpr double kRttWarningMs = 500.0;

    // From the figures of one interval.
    static LinkHealth fromStatistics(const SrtStatistics &stats, quint64 framesDropped);

    bool isWarning(quint64 framesDroppedBefore) const;
    // Data went out and not one acknowledgement came back: the server does
    // not answer (gone, or standing still) though the link is not broken yet.
    bool serverSilent() const { return packetsSent > 0 && acksReceived == 0; }
    // "Live: " and the figures.
    QString text() const;
    // "1300 kbit/s, RTT 40 ms, latency 120 ms, loss 0.0 %, …": the figures
    // with any advice. The latency in use stands beside the round trip: a
    // far server's larger latency is the delay a whole picture costs.
    QString figuresText() const;
    // "video 1.1 of 2.0 Mbit/s: the connection carries about 1.3 Mbit/s";
    // empty while the video has its set rate.
    QString rateText() const;
    // "a latency of 360 ms would repair these losses"; empty without advice.
    QString latencyText() const;
};

Q_DECLARE_METATYPE(LinkHealth)
