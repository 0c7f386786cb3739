#pragma once
#include <QtGlobal>

#include <deque>

// Tells when the SRT latency set for a broadcast is too short to repair the
// losses the path shows, and which latency would. SRT resends a lost packet
// once the receiver reports it, and each round of report and resend costs a
// round trip; the more is lost, the more rounds a packet may need. The
// common rule for live SRT sizes the latency as a multiple of the round trip
// that grows with the loss rate, at least four round trips, and treats round
// trips under 20 ms as 20 ms; a round trip that varies needs its spread on
// top, as a repair may take the longest of them.
//
// The advice is taken from the last ten samples and held steady: it appears
// after three samples in a row that need more latency, rises when the need
// does, and goes only after ten samples in a row that need no more than is
// set. The advice itself changes nothing: the user decides, or, where the
// latency follows the connection, LatencyFollower.
class LatencyAdvisor
{
public:
    explicit LatencyAdvisor(int latencyMs);

    // One interval's packets sent and reported lost, and the round trip.
    void addSample(qint64 packetsSent, qint64 packetsLost, double rttMs);
    // The latency that would repair the losses (ms); 0 while the set one does.
    int advisedLatencyMs() const { return m_advisedMs; }
    // The round trip the samples taken agree on (ms; their median): a few odd
    // ones, such as those as a queue fills, do not move it.
    double typicalRoundTripMs() const;

    // The latency the rule asks for at this loss (percent), round trip and
    // spread of the round trip (all ms).
    static int neededLatencyMs(double lossPercent, double rttMs, double rttSpreadMs = 0);
    static int rttMultiplier(double lossPercent);
    // The latency for a connection about to open, known only by its round
    // trip (the loss shows once data flows): what the path needs, at least
    // leastMs, and at most ceilingMs unless leastMs is more.
    static int latencyForPath(int leastMs, double rttMs, int ceilingMs);

    // libsrt carries a latency in 16 bits of its handshake.
    static constexpr int kLibraryMaxLatencyMs = 65535;

    static constexpr int kWindow = 10;
    static constexpr int kSamplesToShow = 3;
    static constexpr int kSamplesToHide = 10;

private:
    struct Interval
    {
        qint64 sent = 0;
        qint64 lost = 0;
        double rttMs = 0;
    };
    int neededNow() const;

    int m_latencyMs = 0;
    std::deque<Interval> m_window;
    int m_shortSamples = 0;
    int m_enoughSamples = 0;
    int m_advisedMs = 0;
};
