#pragma once
#include <QtGlobal>

#include <array>

// How much unacknowledged data a live SRT sender may keep in libsrt's send
// buffer: twice the most the receiver acknowledged in one period lately,
// within fixed bounds.
//
// On a path slower than the sender this holds the queue in front of the
// slowest link to about two periods, with the period an eighth of the latency:
// a lost message is then reported and resent well within the latency (SRT's
// rule of thumb is a latency of four round trips), so what the receiver
// acknowledges it also hands on. Where the path keeps up, the window doubles
// each period up to its maximum. Taking the best of the last few periods rides
// out a short stall of either end; starting small keeps the first burst from
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
    static constexpr int kRememberedPeriods = 4;

private:
    void closePeriod(qint64 acknowledgedBytes);

    qint64 m_periodUs;
    bool m_started = false;
    qint64 m_periodStartUs = 0;
    qint64 m_periodStartBytes = 0;
    qint64 m_acknowledgedBytes = 0;
    // Bytes acknowledged in each of the last periods, the newest at m_next - 1.
    std::array<qint64, kRememberedPeriods> m_periods{};
    size_t m_next = 0;
};
