#pragma once
#include "VideoEncoder.h"

namespace mf {

// A libavcodec video encoder set up for live streaming: constant frame rate,
// fixed group of pictures, no B-frames, no look-ahead, a one-second rate buffer.
class FFmpegVideoEncoder : public VideoEncoder
{
public:
    bool open(const QString &encoderName, const VideoEncoderSettings &settings);

    AVPixelFormat inputFormat() const override;
    AVRational timeBase() const override;
    void fillParameters(AVCodecParameters *par) const override;
    bool encode(const AVFrame *frame, std::vector<AVPacketPtr> &packets) override;
    // Only libx264 takes a new rate while running (its wrapper reconfigures
    // x264 when bit_rate or the rate buffer change between pictures).
    bool changeBitRate(qint64 bitRate, qint64 maxRate) override;

private:
    static void applyRate(AVCodecContext *c, qint64 bitRate, qint64 maxRate);

    void applyProfile(const QString &encoderName, const QString &profile, AVDictionary **options);

    AVCodecContextPtr m_context;
    bool m_liveRateChange = false;
};

} // namespace mf
