#pragma once
#include "FFmpegHandles.h"

#include <QString>
#include <vector>

namespace mf {

struct VideoEncoderSettings
{
    int width = 0;
    int height = 0;
    int frameRate = 25;
    int gopSize = 50;
    qint64 bitRate = 0;   // bit/s; 0 leaves the encoder's default
    qint64 maxRate = 0;   // bit/s; 0 = bitRate
    QString profile;      // e.g. "Main"; ignored where the codec has none
};

// One video encoder: takes pictures in inputFormat(), gives packets whose
// timestamps are in timeBase() (one tick per frame).
class VideoEncoder
{
public:
    virtual ~VideoEncoder() = default;
    virtual AVPixelFormat inputFormat() const = 0;
    virtual AVRational timeBase() const = 0;
    virtual void fillParameters(AVCodecParameters *par) const = 0;
    // frame == nullptr drains the encoder. Returns false on a failure.
    virtual bool encode(const AVFrame *frame, std::vector<AVPacketPtr> &packets) = 0;
};

} // namespace mf
