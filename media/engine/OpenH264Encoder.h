#pragma once
#include "VideoEncoder.h"

class ISVCEncoder;

namespace mf {

// H.264 through the openh264 library itself (the system's FFmpeg is built
// without its wrapper). Produces Annex B packets ready for the TS muxer.
class OpenH264Encoder : public VideoEncoder
{
public:
    OpenH264Encoder();
    ~OpenH264Encoder() override;

    bool open(const VideoEncoderSettings &settings);

    AVPixelFormat inputFormat() const override { return AV_PIX_FMT_YUV420P; }
    AVRational timeBase() const override { return AVRational{1, m_settings.frameRate}; }
    void fillParameters(AVCodecParameters *par) const override;
    bool encode(const AVFrame *frame, std::vector<AVPacketPtr> &packets) override;
    bool changeBitRate(qint64 bitRate, qint64 maxRate) override;

private:
    struct EncoderDeleter { void operator()(ISVCEncoder *encoder) const; };
    bool initialize(bool mainProfile);
    bool setRateOption(int option, qint64 bitRate);

    std::unique_ptr<ISVCEncoder, EncoderDeleter> m_encoder;
    VideoEncoderSettings m_settings;
    qint64 m_frameIndex = 0;
};

} // namespace mf
