#pragma once
#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

// One direction of the proxy: datagrams enter with push(), may be lost, wait
// for the delay and leave no faster than the rate limit. The queue is bounded
// in datagrams and, like a router's buffer, in time at the rate limit; what
// does not fit is dropped and counted. The connections through the proxy
// share the one queue, as they share a path; each datagram keeps the number
// of its connection (flow) to leave on the right socket.
class ImpairedLink
{
public:
    struct Settings {
        double lossRatio = 0.0;
        int64_t delayNs = 0;
        int64_t rateBytesPerSecond = 0;  // 0: unlimited
        size_t maxQueued = 10000;
        int64_t bufferNs = 0;  // with a rate limit: at most this much waits; 0: no bound
        uint32_t seed = 1;
        // After this many datagrams every one is lost for blackoutNs (a
        // burst, as when a router's queue or a socket buffer overflows).
        uint64_t blackoutAfter = 0;
        int64_t blackoutNs = 0;
    };
    struct Counters {
        uint64_t forwarded = 0;
        uint64_t lost = 0;
        uint64_t overflowed = 0;
    };

    explicit ImpairedLink(const Settings &settings);

    void push(const char *data, size_t size, int64_t nowNs, uint32_t flow = 0);
    // The next datagram that may leave at nowNs, or nullptr.
    const std::vector<char> *ready(int64_t nowNs);
    // The flow of the datagram ready() returned.
    uint32_t readyFlow() const { return m_queue.front().flow; }
    void pop();
    // Nanoseconds until the next datagram may leave; -1 when nothing waits.
    int64_t waitNs(int64_t nowNs);
    const Counters &counters() const { return m_counters; }
    // A new rate limit from now on (0: unlimited).
    void setRate(int64_t bytesPerSecond, int64_t nowNs);
    // A new delay for the datagrams pushed from now on; they never overtake
    // those queued before them.
    void setDelay(int64_t delayNs) { m_settings.delayNs = delayNs; }
    size_t queuedBytes() const { return m_queuedBytes; }

private:
    struct Datagram {
        int64_t dueNs;
        std::vector<char> bytes;
        uint32_t flow;
    };
    void refill(int64_t nowNs);
    bool inBlackout(int64_t nowNs);
    size_t bufferBytes() const;

    Settings m_settings;
    std::deque<Datagram> m_queue;
    std::mt19937 m_random;
    std::uniform_real_distribution<double> m_uniform{0.0, 1.0};
    size_t m_queuedBytes = 0;
    double m_tokens = 0;
    int64_t m_lastRefillNs = 0;
    uint64_t m_pushed = 0;
    int64_t m_blackoutStartNs = -1;
    Counters m_counters;
};
