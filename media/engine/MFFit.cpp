#include "media/engine/MFFit.h"

namespace mf {

QRectF MFFit::placement(int srcW, int srcH, int w, int h)
{
    if (srcW <= 0 || srcH <= 0)
        return QRectF(0, 0, w, h);
    const float sx = float(w) / float(srcW);
    const float sy = float(h) / float(srcH);
    if (sx == sy)
        return QRectF(0, 0, w, h);
    if (sx > sy) {
        const float width = float(w) * (sy / sx);
        return QRectF((float(w) - width) * 0.5f, 0, width, h);
    }
    const float height = float(h) * (sx / sy);
    return QRectF(0, (float(h) - height) * 0.5f, w, height);
}

} // namespace mf
