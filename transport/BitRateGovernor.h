#pragma once
#include <QString>
#include <QtGlobal>

#include <deque>

// Chooses the video bit rate of a live SRT broadcast from libsrt's sender
// statistics, one sample a second. Live SRT sends whatever the encoder makes
// and drops what comes too late, so a path narrower than the rate breaks the
// picture for as long as it stays narrow. The governor lowers the rate fast
// when the path is congested, to a share of what the receiver acknowledged,
// and raises it slowly, in steps some seconds apart, while it is not; never
// above the user's rate (the ceiling), never below a floor.
//
// Congestion is a pattern over a few samples, not one figure: the send buffer
// holding a good part of the latency, too-late drops, a round trip well above
// its quiet value (a router queue filling up), or far more retransmissions
// than losses (retransmissions lost again). Loss alone is not congestion: a
// lossy path loses as much at a low rate as at a high one, and SRT repairs it.
class BitRateGovernor
{
public:
    // The figures of one interval of libsrt's statistics (srt_bstats with
    // clearing) plus what the relay handed to libsrt in it.
    struct Sample
    {
        double intervalMs = 1000;
        double sendKbps = 0;          // on the wire, headers and retransmissions included
        double rttMs = 0;
        qint64 packetsSent = 0;       // retransmissions included
        qint64 packetsLost = 0;       // reported lost by the receiver
        qint64 packetsRetransmitted = 0;
        qint64 packetsDropped = 0;    // given up as too late
        qint64 bytesDropped = 0;
        double sendBufferMs = 0;      // unacknowledged span in the send buffer (libsrt's average)
        qint64 sendBufferBytes = 0;   // unacknowledged payload in the send buffer, now
        double bandwidthKbps = 0;     // libsrt's estimate of the path; 0 when unknown
        qint64 bytesHanded = 0;       // payload the relay gave libsrt in the interval
    };

    BitRateGovernor(int ceilingKbps, int latencyMs);

    // Takes one sample; returns true when the video rate changed.
    bool addSample(const Sample &sample);

    int videoKbps() const { return m_videoKbps; }
    int ceilingKbps() const { return m_ceilingKbps; }
    int floorKbps() const { return m_floorKbps; }
    // Whether the last sample showed a sign of congestion.
    bool lastSampleCongested() const { return !m_history.empty() && m_history.back().congested; }
    // About how much payload the path carried while it was congested
    // (kbit/s); 0 before the first congestion.
    double carriedKbps() const { return m_carriedKbps; }
    // Why the rate changed last, for the log.
    QString reason() const { return m_reason; }

    // A decision takes this many of the last samples...
    static constexpr int kWindow = 3;
    // ...of which this many show a sign of congestion.
    static constexpr int kCongestedSamples = 2;
    // Lowered to this share of what the path carried.
    static constexpr double kTargetShare = 0.85;
    // Seconds without congestion before the first step up, and the longest
    // wait after steps up that ran into congestion again.
    static constexpr int kUpWaitSeconds = 4;
    static constexpr int kLongestUpWaitSeconds = 8;
    static constexpr double kUpStep = 0.15;
    // A step up is at least this share of the ceiling.
    static constexpr int kLeastUpSteps = 12;
    // A rate is known to fit after this many samples without congestion.
    static constexpr int kGoodSamples = 3;
    // For this many samples after a step up, a queue forming on the path
    // already takes the step back, before the router's queue overflows.
    static constexpr int kProbeSamples = 2;

private:
    struct Judged
    {
        Sample sample;
        bool congested = false;
        bool draining = false;  // the send buffer empties: the last cut works
        bool queueGrowing = false;  // the round trip above its quiet value: a queue forms on the path
        QString signs;
        double acknowledgedKbps = 0;
        double handedKbps = 0;
    };
    Judged judge(const Sample &sample);
    double quietRtt() const;
    double pathEstimate() const;
    bool lower();
    bool raise();
    void noteGoodRate();
    void setRate(int kbps, const QString &reason);

    int m_ceilingKbps = 0;
    int m_floorKbps = 0;
    int m_latencyMs = 0;
    int m_videoKbps = 0;
    std::deque<Judged> m_history;
    std::deque<double> m_quietRtts;
    double m_leastRtt = 0;
    qint64 m_previousBufferBytes = -1;
    bool m_congested = false;
    double m_carriedKbps = 0;
    double m_throughKbps = 0;
    std::deque<double> m_pathEstimates;  // libsrt's estimates of the path, payload kbit/s
    int m_goodKbps = 0;             // the last rate that ran without congestion
    double m_goodHandedKbps = 0;    // what the relay handed on at it
    double m_failedHandedKbps = 0;  // what it handed on at the last rate that did not fit
    bool m_probeFailed = false;
    int m_failedKbps = 0;           // the last step up that did not fit
    int m_samplesSinceFailure = 0;
    int m_samplesSinceChange = 0;
    int m_quietSamples = 0;
    int m_upWaitSeconds = kUpWaitSeconds;
    bool m_lastChangeWasUp = false;
    bool m_lastChangeWasCut = false;
    QString m_reason;
};
