#include "media/engine/Yuv420Converter.h"

#include <QtGlobal>

#include <libyuv/convert.h>

namespace mf {

bool Yuv420Converter::applies(const QImage &picture, const AVFrame *frame)
{
    const bool rgb32 = picture.format() == QImage::Format_RGB32 || picture.format() == QImage::Format_ARGB32;
    return Q_BYTE_ORDER == Q_LITTLE_ENDIAN && rgb32 && frame && frame->format == AV_PIX_FMT_YUV420P
        && frame->width == picture.width() && frame->height == picture.height() && picture.width() % 2 == 0
        && picture.height() % 2 == 0 && picture.width() > 0 && picture.height() > 0;
}

// libyuv's "ARGB" is RGB32 as a little-endian machine holds it (B, G, R, A
// bytes), and its I420 has the BT.601 limited-range colours of the wire.
void Yuv420Converter::convert(const QImage &picture, AVFrame *frame)
{
    libyuv::ARGBToI420(picture.constBits(), int(picture.bytesPerLine()), frame->data[0], frame->linesize[0],
                       frame->data[1], frame->linesize[1], frame->data[2], frame->linesize[2], picture.width(),
                       picture.height());
}

} // namespace mf
