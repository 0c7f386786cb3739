#pragma once
#include "media/engine/MFFrame.h"

#include <QSize>

#include <vector>

namespace mf {

// One kind of video device behind MFDevice: a camera, the screen or the test
// pattern. read() blocks until the source's next picture.
class MFVideoSource
{
public:
    virtual ~MFVideoSource() = default;
    // target empty: the source's own size. Null on failure.
    virtual MFFramePtr read(const QSize &target) = 0;
    // Makes a blocked read() return soon.
    virtual void interrupt() {}
    // The device's own sound for one frame interval, or nothing.
    virtual std::vector<int16_t> ownSound(int samples, const MFAudioFormat &fmt)
    {
        Q_UNUSED(samples)
        Q_UNUSED(fmt)
        return {};
    }
};

} // namespace mf
