#include "transport/srt/SrtStatistics.h"

#include <srt/srt.h>

std::optional<SrtStatistics> SrtStatistics::read(int socket, bool clear)
{
    SRT_TRACEBSTATS stats{};
    if (srt_bstats(socket, &stats, clear ? 1 : 0) == SRT_ERROR)
        return std::nullopt;
    SrtStatistics figures;
    figures.elapsedMs = stats.msTimeStamp;
    figures.sendMbps = stats.mbpsSendRate;
    figures.bandwidthMbps = stats.mbpsBandwidth;
    figures.rttMs = stats.msRTT;
    figures.sendBufferMs = stats.msSndBuf;
    figures.packetsSent = stats.pktSent;
    figures.packetsLost = stats.pktSndLoss;
    figures.packetsRetransmitted = stats.pktRetrans;
    figures.packetsDropped = stats.pktSndDrop;
    figures.bytesDropped = qint64(stats.byteSndDrop);
    figures.acksReceived = stats.pktRecvACK;
    figures.packetsSentTotal = stats.pktSentTotal;
    figures.packetsLostTotal = stats.pktSndLossTotal;
    figures.packetsRetransmittedTotal = stats.pktRetransTotal;
    figures.packetsDroppedTotal = stats.pktSndDropTotal;
    return figures;
}
