#pragma once
#include <QImage>
#include <QString>

#include <array>
#include <map>
#include <mutex>
#include <vector>

// When each picture of the Test Pattern camera passed each stage of the trip,
// keyed by the capture time burned into the picture. Any thread.
class StageStamps
{
public:
    enum Stage { Captured, Mixed, Muxed, Received, Decoded, Painted, Shown, StageCount };
    static const char *name(int stage);

    static qint64 nowMs();
    // The capture time read from a picture that shows the pattern over its
    // whole area; -1 when no code is found.
    static qint64 captureTime(const QImage &picture);

    // The writer's frame number of a picture (its stream time stamp counts
    // frames from the first one).
    void noteFrame(qint64 frameIndex, qint64 captureMs);
    // Stamps a stage once per picture.
    void stamp(int stage, qint64 captureMs, qint64 atMs);
    // The same by the stream time stamp (90 kHz) of the picture's PES.
    void stampPts(int stage, qint64 pts, qint64 atMs);
    // Only pictures captured from then on count.
    void countFrom(qint64 ms);

    // Milliseconds from capture to the stage, for each picture that reached it.
    std::vector<double> sinceCapture(int stage) const;
    // Milliseconds from the previous measured stage, for pictures that have both.
    std::vector<double> sincePrevious(int stage, int previous) const;

    static double percentile(std::vector<double> values, double p);

private:
    using Row = std::array<qint64, StageCount>;
    mutable std::mutex m_mutex;
    std::map<qint64, Row> m_rows;
    std::map<qint64, qint64> m_captureByIndex;
    qint64 m_firstPts = -1;
    qint64 m_countFrom = 0;
};
