#pragma once
#include "media/engine/MFImageConverter.h"
#include "media/engine/MFScreenCast.h"
#include "media/engine/MFVideoSource.h"

#include "media/engine/MFInterrupt.h"

#include <QElapsedTimer>
#include <QRect>

#include <atomic>
#include <memory>

namespace mf {

// What the portal screen source is asked to capture.
struct MFPortalSettings
{
    uint sourceType = MFPortalSession::Monitor;
    QRect area;          // desktop coordinates; empty: the whole stream
    QSize frameSize;     // size frames are fitted into when the caller asks for none
    quint32 backgroundArgb = 0xFF000000u;
    double fps = 25;
    bool drawCursor = false;
    bool newChoice = true; // a choice in the menu: ask the portal again
};

// The screen through the desktop portal. The portal's stream delivers only
// when the screen changes; read() hands out the newest picture at the
// caller's pace (fps), cut to the area and fitted, and never waits for the
// portal longer than one frame interval.
class MFPortalSource : public MFVideoSource
{
public:
    explicit MFPortalSource(const MFPortalSettings &settings);
    ~MFPortalSource() override;

    MFFramePtr read(const QSize &target) override;
    void interrupt() override { m_interrupted.raise(); }

    // The part of a stream picture (pixels) that shows a desktop area; the
    // whole picture when the area is empty or outside the stream.
    static QRect areaInPicture(const QRect &area, const QPoint &streamPos, const QSize &streamSize,
                               const QSize &pictureSize);

private:
    void waitForTick();

    MFPortalSettings m_settings;
    std::shared_ptr<MFScreenCast> m_cast;
    MFImageConverter m_converter;
    QElapsedTimer m_clock;
    qint64 m_nextTickMs = 0;
    MFInterrupt m_interrupted;
};

} // namespace mf
