#pragma once
#include "media/engine/MFFrame.h"

#include <memory>

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SwsContext;

namespace mf {

// Turns captured pictures of any pixel format into RGB32 frames, optionally
// fitted (aspect kept) into a target size on a background colour. Keeps its
// scaler between calls, so one converter per source.
class MFImageConverter
{
public:
    MFImageConverter();
    ~MFImageConverter();

    // target empty: keep the picture's own size.
    MFFramePtr convert(const uint8_t *const planes[4], const int strides[4], AVPixelFormat format,
                       int width, int height, const QSize &target, quint32 backgroundArgb);

private:
    bool scale(const uint8_t *const planes[4], const int strides[4], AVPixelFormat format, int width,
               int height, uint8_t *dst, int dstStride, int dw, int dh);

    struct SwsDeleter { void operator()(SwsContext *c) const; };
    std::unique_ptr<SwsContext, SwsDeleter> m_sws;
    int m_key[5] = {0, 0, 0, 0, 0};
};

} // namespace mf
