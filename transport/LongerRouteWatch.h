#pragma once
#include <QtGlobal>

#include <deque>

// Tells a longer route from a queue while the rate governor sees signs of
// congestion. A route that grew longer (another way through the network, a
// mobile link handed over) raises the round trip for good, and with it the
// unacknowledged span in the send buffer, which the governor reads as a
// queue; but a queue shrinks as the rate goes down and loses what overflows
// it, while a longer route keeps its round trip whatever the rate and loses
// no more than before. So signs that outlast the rate's cuts, with the round
// trip steady and little loss, are the latency's business: the latency
// advice takes those samples in.
class LongerRouteWatch
{
public:
    // One health sample (packets sent and reported lost in it); true when
    // the latency advice is to take it.
    bool addSample(bool congested, double rttMs, qint64 packetsSent, qint64 packetsLost);

    static constexpr int kLastingSamples = 10;
    static constexpr int kSteadySamples = 5;
    // Steady: the round trips of kSteadySamples within this share of their
    // least, and a few milliseconds of jitter.
    static constexpr double kSteadyShare = 0.1;
    static constexpr double kJitterMs = 5.0;
    // An overflowing queue loses far more than a lossy route (over the
    // steady samples: one second at a low rate holds few packets).
    static constexpr double kMostLossPercent = 10.0;

private:
    struct Interval
    {
        double rttMs = 0;
        qint64 sent = 0;
        qint64 lost = 0;
    };
    bool steady() const;
    bool littleLost() const;

    int m_congestedSamples = 0;
    std::deque<Interval> m_window;
};
