#pragma once
#include <QString>

#include <atomic>

// Measures the round trip to an SRT listener before any connection to it
// opens, so that the first connection can already ask for the latency the
// path needs. It sends a few handshake induction requests, the first step of
// every caller's handshake, which a listener answers at once without keeping
// anything, from a UDP socket of its own. The quickest answer is the round
// trip: a busy moment at either end only ever adds to it. (A whole handshake
// takes two round trips, but libsrt paces its second step by timers, so its
// duration varies by hundreds of milliseconds.)
class RoundTripProbe
{
public:
    // The round trip in milliseconds to a dotted IPv4 address, or -1 when no
    // answer came within kWaitMs (or cancel turned true, or nobody listens).
    static double measureMs(const QString &address, quint16 port, const std::atomic<bool> *cancel = nullptr);

    static constexpr int kProbes = 5;
    static constexpr int kSpacingMs = 20;
    static constexpr int kWaitMs = 1500;
};
