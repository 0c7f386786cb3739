#pragma once
#include "media/engine/MFVideoSource.h"

#include <QImage>
#include <QRegion>

#include <chrono>
#include <memory>

namespace mf {

class TestPatternPictures;

// The built-in camera: a moving picture at 25 frames per second with a 1 kHz
// tone. Every picture carries its capture time twice: as text, and as a row of
// black and white blocks (the low 32 bits of the wall-clock milliseconds) that
// survives scaling and encoding, so latency can be measured from the picture.
class MFTestPatternSource : public MFVideoSource
{
public:
    static constexpr int kFps = 25;
    static constexpr int kCodeBits = 32;

    MFTestPatternSource();
    ~MFTestPatternSource() override;

    MFFramePtr read(const QSize &target) override;
    std::vector<int16_t> ownSound(int samples, const MFAudioFormat &fmt) override;

    // Draws the pattern of one instant into image (any RGB32 size).
    static void draw(QImage &image, qint64 frameNumber, qint64 wallClockMs);
    // What draw() paints over the background: the strip, the moving square
    // and the clock's box.
    static QRegion drawnArea(const QSize &size, qint64 frameNumber);
    // Reads the block code back from a picture that shows the pattern over
    // the whole of `area`. Returns false when no code is found.
    static bool decodeTime(const QImage &image, const QRect &area, quint32 *lowMs);
    // Full wall-clock milliseconds from a decoded low part, taking the high
    // part from `nowMs` (the code wraps every 49 days).
    static qint64 expandTime(quint32 lowMs, qint64 nowMs);

private:
    void waitForNextTick();
    const QImage &background(const QSize &size);

    using Clock = std::chrono::steady_clock;
    Clock::time_point m_nextTick{};
    qint64 m_frameNumber = 0;
    QImage m_background;
    std::shared_ptr<TestPatternPictures> m_pictures;
    double m_tonePhase = 0;
};

} // namespace mf
