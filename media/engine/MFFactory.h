#pragma once
#include "media/engine/MFFrame.h"

namespace mf {

class MFFactory
{
public:
    // A blank frame of fmt's size (black), or filled by "solid_color='#rrggbb(alpha)'".
    // Null when the format is not RGB32 or the size is not positive.
    static MFFramePtr create(const MFFormat &fmt, const QString &options = QString());
    // Copies the caller's RGB32 rows (stride in bytes) into a new frame.
    static MFFramePtr fromMemory(const MFFormat &fmt, const uchar *data, int stride);
    // Shares the image's memory when it already is RGB32, converts otherwise.
    static MFFramePtr fromImage(const QImage &image);
};

} // namespace mf
