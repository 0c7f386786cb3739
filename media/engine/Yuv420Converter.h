#pragma once
#include <QImage>

extern "C" {
#include <libavutil/frame.h>
}

namespace mf {

// RGB32 pictures into the encoders' planar 4:2:0 frames of the same size, in
// the colours libswscale gives by default (BT.601, limited range), by libyuv
// (the library the browsers' capture pipelines use for it, with SIMD paths
// for every machine): several times faster than the general scaler, which
// the caller keeps for everything else (other sizes, formats).
class Yuv420Converter
{
public:
    // Whether picture (RGB32 or ARGB32, alpha ignored) can go into frame: a
    // YUV420P frame of the picture's size, both sides even.
    static bool applies(const QImage &picture, const AVFrame *frame);
    // Fills frame's planes, which must be writable; applies() must hold.
    static void convert(const QImage &picture, AVFrame *frame);
};

} // namespace mf
