#include "app/session/LinkHealth.h"

#include "transport/srt/SrtStatistics.h"

namespace {
double percentOf(qint64 part, qint64 whole)
{
    return whole > 0 ? 100.0 * double(part) / double(whole) : 0.0;
}

QString mbps(double kbps)
{
    return QString::number(kbps / 1000.0, 'f', 1);
}
}

LinkHealth LinkHealth::fromStatistics(const SrtStatistics &stats, quint64 framesDropped)
{
    LinkHealth health;
    health.sendKbps = stats.sendMbps * 1000.0;
    health.rttMs = stats.rttMs;
    health.packetsSent = stats.packetsSent;
    health.lossPercent = percentOf(stats.packetsLost, stats.packetsSent);
    health.retransmitPercent = percentOf(stats.packetsRetransmitted, stats.packetsSent);
    health.packetsDropped = stats.packetsDropped;
    health.framesDropped = framesDropped;
    health.acksReceived = stats.acksReceived;
    return health;
}

bool LinkHealth::isWarning(quint64 framesDroppedBefore) const
{
    return lossPercent > kLossWarningPercent || rttMs > kRttWarningMs || packetsDropped > 0
           || framesDropped > framesDroppedBefore;
}

QString LinkHealth::text() const
{
    return QStringLiteral("Live: ") + figuresText();
}

QString LinkHealth::figuresText() const
{
    const QString latency = latencyMs > 0 ? QStringLiteral(", latency %1 ms").arg(latencyMs) : QString();
    QString line = QStringLiteral("%1 kbit/s, RTT %2 ms%3, loss %4 %, retransmitted %5 %, dropped %6 packets, %7 frames")
        .arg(qRound(sendKbps))
        .arg(qRound(rttMs))
        .arg(latency)
        .arg(lossPercent, 0, 'f', 1)
        .arg(retransmitPercent, 0, 'f', 1)
        .arg(packetsDropped)
        .arg(framesDropped);
    for (const QString &part : {rateText(), latencyText()}) {
        if (!part.isEmpty())
            line += QStringLiteral("; ") + part;
    }
    return line;
}

QString LinkHealth::rateText() const
{
    if (videoKbps <= 0 || videoKbps >= videoCeilingKbps)
        return QString();
    return QStringLiteral("video %1 of %2 Mbit/s: the connection carries about %3 Mbit/s")
        .arg(mbps(videoKbps), mbps(videoCeilingKbps), mbps(carriedKbps));
}

QString LinkHealth::latencyText() const
{
    if (advisedLatencyMs <= 0)
        return QString();
    return QStringLiteral("a latency of %1 ms would repair these losses").arg(advisedLatencyMs);
}
