#pragma once
#include <QtGlobal>

#include <array>
#include <cmath>

namespace mf {

// Where, in the stream of played samples, each recorded frame's echo starts.
//
// The output's latency and the frame's read time put it somewhere every
// frame, and that figure holds steady to a millisecond while both streams
// flow; but the
// played stream stalls whenever the output runs dry (a busy machine), and
// from then on its sound comes that much later. So the reading advances a
// frame per recorded frame and moves to where the figure puts it only when
// that is more than kToleranceMs away: at once for a stall (the median of the
// last few frames, so that one odd figure moves nothing), never for jitter,
// which the canceller's filters would have to learn anew each time.
class EchoAlignment
{
public:
    // frameLength: played samples per recorded frame.
    EchoAlignment(int frameLength, int sampleRate);

    // One recorded frame: the played sample the figure says the speaker
    // gave out at its start (may be negative early on).
    void note(qint64 heard);
    // Whether a frame was noted.
    bool placed() const { return m_frames > 0; }
    // The played position of the frame last noted.
    qint64 position() const { return m_offset + qint64(std::llround(double(m_frames - 1) * m_frameLength)); }

    static constexpr int kMedianFrames = 5;
    static constexpr int kToleranceMs = 5;

private:
    qint64 median() const;

    double m_frameLength;
    qint64 m_tolerance;
    qint64 m_frames = 0;
    std::array<qint64, kMedianFrames> m_residuals{};  // heard less the frames' nominal advance
    qint64 m_offset = 0;
};

} // namespace mf
