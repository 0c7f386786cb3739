#pragma once
#include <QtGlobal>

#include <optional>

// The sender figures of one SRT connection that the program reads (libsrt's
// srt_bstats), in types of our own: those of the interval since the last
// clearing read, and the totals since the connection began.
struct SrtStatistics
{
    qint64 elapsedMs = 0;  // since the connection began
    double sendMbps = 0;
    double bandwidthMbps = 0;  // libsrt's estimate of the path's
    double rttMs = 0;
    int sendBufferMs = 0;  // span of the data held in the send buffer
    qint64 packetsSent = 0;
    qint64 packetsLost = 0;  // reported lost by the receiver
    qint64 packetsRetransmitted = 0;
    qint64 packetsDropped = 0;  // given up as too late
    qint64 bytesDropped = 0;
    qint64 acksReceived = 0;
    qint64 packetsSentTotal = 0;
    qint64 packetsLostTotal = 0;
    qint64 packetsRetransmittedTotal = 0;
    qint64 packetsDroppedTotal = 0;

    // The figures of socket; clear starts a new interval. Nothing when libsrt
    // has none (no such connection).
    static std::optional<SrtStatistics> read(int socket, bool clear);
};
