#pragma once
#include <QtGlobal>

#include <deque>

// How much unacknowledged data a live SRT sender may keep in libsrt's send
// buffer: twice what the receiver acknowledged during the last period, within
// fixed bounds.
//
// On a path slower than the sender this holds the queue in front of the
// slowest link to about two periods, with the period an eighth of the latency:
// a lost message is then reported and resent well within the latency (SRT's
// rule of thumb is a latency of four round trips), so what the receiver
// acknowledges it also hands on. Where the path keeps up, the window doubles
// each period up to its maximum. Starting small keeps the first burst from
// flooding a slow path.
class SendPacer
{
public:
    explicit SendPacer(int latencyMs);

    // Notes the total of bytes acknowledged by the receiver at nowUs.
    void noteAcknowledged(qint64 nowUs, qint64 acknowledgedBytes);
    // Bytes that may be unacknowledged at once.
    qint64 window() const;
    qint64 periodUs() const { return m_periodUs; }

    static constexpr qint64 kMinWindow = 8 * 1316;
    // A few milliseconds of a gigabit, a small share of the 8192 messages that
    // a receiver with libsrt's default buffers holds, and of the 10 MiB a
    // speed test sends.
    static constexpr qint64 kMaxWindow = 262144;
    static constexpr int kLatencyShare = 8;
    // Two of the receiver's 10 ms acknowledgement periods.
    static constexpr int kMinPeriodMs = 20;

private:
    struct Sample {
        qint64 timeUs;
        qint64 bytes;
    };
    static constexpr qint64 kSampleSpacingUs = 1000;

    qint64 m_periodUs;
    // The oldest sample is the newest one at least a period old.
    std::deque<Sample> m_samples;
};
