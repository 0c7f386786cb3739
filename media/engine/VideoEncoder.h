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
    // frame == nullptr drains the encoder. A frame whose pict_type is
    // AV_PICTURE_TYPE_I becomes a key frame the stream can be entered at
    // (an IDR picture for H.264 and HEVC). Returns false on a failure.
    virtual bool encode(const AVFrame *frame, std::vector<AVPacketPtr> &packets) = 0;
    // Changes the running encoder's target and peak rate (bit/s) from the
    // next picture on. false: this encoder cannot, it has to be opened again
    // with the new rate (at the start of a group, so the stream stays whole).
    virtual bool changeBitRate(qint64 /*bitRate*/, qint64 /*maxRate*/) { return false; }
};

} // namespace mf
