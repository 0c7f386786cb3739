#pragma once
#include <QImage>

namespace mf {

// RGB32 pictures whose memory is reused once the last QImage sharing it is
// gone. The mixer makes several full-size pictures per frame; taking them
// from here keeps the heap (and the resident size) flat over hours and saves
// the page faults of fresh multi-megabyte allocations.
class MFPicturePool
{
public:
    // An uninitialised RGB32 picture; null on allocation failure.
    static QImage allocate(const QSize &size);
    // A pooled deep copy of an RGB32 picture.
    static QImage copyOf(const QImage &picture);
    // Buffers kept for reuse right now, in bytes.
    static size_t idleBytes();
};

} // namespace mf
