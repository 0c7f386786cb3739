#pragma once
#include <QtGlobal>

// Decides while a broadcast runs when its latency has to go up: the latency
// advice (LatencyAdvisor) stands well above the latency in use for a few
// samples in a row, and the round trip the advice was taken over asks for
// that much by itself, so the path now loses more than the latency can repair
// because its round trip grew. The loss alone raises nothing: libsrt counts a
// lost packet once for every report of it, and a far path reports a loss
// several times, so the loss part of the advice swings with the round trip.
// The new latency is the advice, or what the round trip of the moment needs
// if that is more (the advice lags a round trip that has just grown), at most
// the ceiling. Each raise costs a reconnect: it is at least a
// quarter more, at most one comes in kLeastIntervalMs, and the latency never
// goes down by itself.
class LatencyFollower
{
public:
    explicit LatencyFollower(int ceilingMs = 0);

    // One health sample of the connection in use: its latency, the advice,
    // the round trip the advice was taken over and the sample's own; the
    // latency to reconnect with, or 0 to stay. nowMs is any steady clock in
    // milliseconds.
    struct Sample
    {
        int latencyMs = 0;
        int advisedMs = 0;
        double adviceRttMs = 0;
        double rttMs = 0;
    };
    int addSample(const Sample &sample, qint64 nowMs);

    static constexpr int kSustainedSamples = 3;
    static constexpr qint64 kLeastIntervalMs = 30000;
    // The advice moves by the round trip's spread from second to second; a
    // few milliseconds more are not worth a reconnect.
    static constexpr double kLeastRaise = 1.25;

private:
    int targetMs(const Sample &sample) const;

    int m_ceilingMs = 0;
    int m_shortSamples = 0;
    bool m_raised = false;
    qint64 m_raisedAtMs = 0;
};
