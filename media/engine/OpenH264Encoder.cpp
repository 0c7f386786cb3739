#include "OpenH264Encoder.h"

#include <wels/codec_api.h>

#include <QDebug>
#include <cstring>

namespace mf {

void OpenH264Encoder::EncoderDeleter::operator()(ISVCEncoder *encoder) const
{
    encoder->Uninitialize();
    WelsDestroySVCEncoder(encoder);
}

OpenH264Encoder::OpenH264Encoder() = default;
OpenH264Encoder::~OpenH264Encoder() = default;

bool OpenH264Encoder::initialize(bool mainProfile)
{
    ISVCEncoder *raw = nullptr;
    if (WelsCreateSVCEncoder(&raw) != 0 || !raw)
        return false;
    m_encoder.reset(raw);
    // The library prints straight to the terminal; of that, only its errors
    // mean something to the user (it warns about the rate control chosen below).
    int traceLevel = WELS_LOG_ERROR;
    m_encoder->SetOption(ENCODER_OPTION_TRACE_LEVEL, &traceLevel);

    SEncParamExt param;
    std::memset(&param, 0, sizeof param);
    m_encoder->GetDefaultParams(&param);
    const qint64 maxRate = m_settings.maxRate > 0 ? m_settings.maxRate : m_settings.bitRate;
    param.iUsageType = CAMERA_VIDEO_REAL_TIME;
    param.iPicWidth = m_settings.width;
    param.iPicHeight = m_settings.height;
    param.fMaxFrameRate = float(m_settings.frameRate);
    param.iRCMode = m_settings.bitRate > 0 ? RC_BITRATE_MODE : RC_QUALITY_MODE;
    param.iTargetBitrate = int(m_settings.bitRate > 0 ? m_settings.bitRate : 2000000);
    param.iMaxBitrate = int(maxRate > 0 ? maxRate : UNSPECIFIED_BIT_RATE);
    param.uiIntraPeriod = unsigned(m_settings.gopSize);
    // Skipping holds the rate on busy pictures but loses most frames of a
    // moving picture; a live feed keeps every frame and lets the rate peak.
    param.bEnableFrameSkip = false;
    // Groups of pictures are fixed; key frames come only where they are due.
    param.bEnableSceneChangeDetect = false;
    param.iMultipleThreadIdc = 1;
    param.iTemporalLayerNum = 1;
    param.iSpatialLayerNum = 1;
    param.iEntropyCodingModeFlag = mainProfile ? 1 : 0;
    param.eSpsPpsIdStrategy = CONSTANT_ID;
    SSpatialLayerConfig &layer = param.sSpatialLayers[0];
    layer.iVideoWidth = m_settings.width;
    layer.iVideoHeight = m_settings.height;
    layer.fFrameRate = param.fMaxFrameRate;
    layer.iSpatialBitrate = param.iTargetBitrate;
    layer.iMaxSpatialBitrate = param.iMaxBitrate;
    layer.uiProfileIdc = mainProfile ? PRO_MAIN : PRO_BASELINE;
    layer.sSliceArgument.uiSliceMode = SM_SINGLE_SLICE;

    if (m_encoder->InitializeExt(&param) != cmResultSuccess) {
        m_encoder.reset();
        return false;
    }
    int videoFormat = videoFormatI420;
    m_encoder->SetOption(ENCODER_OPTION_DATAFORMAT, &videoFormat);
    return true;
}

bool OpenH264Encoder::open(const VideoEncoderSettings &settings)
{
    m_settings = settings;
    m_frameIndex = 0;
    const bool wantMain = settings.profile.compare(QLatin1String("Main"), Qt::CaseInsensitive) == 0;
    if (wantMain && initialize(true))
        return true;
    if (initialize(false))
        return true;
    qWarning() << "MFWriter: cannot open the openh264 encoder";
    return false;
}

void OpenH264Encoder::fillParameters(AVCodecParameters *par) const
{
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = AV_CODEC_ID_H264;
    par->width = m_settings.width;
    par->height = m_settings.height;
    par->format = AV_PIX_FMT_YUV420P;
    par->bit_rate = m_settings.bitRate;
    par->sample_aspect_ratio = AVRational{1, 1};
}

bool OpenH264Encoder::setRateOption(int option, qint64 bitRate)
{
    SBitrateInfo info;
    info.iLayer = SPATIAL_LAYER_ALL;
    info.iBitrate = int(qMin<qint64>(bitRate, INT_MAX));
    return m_encoder->SetOption(ENCODER_OPTION(option), &info) == cmResultSuccess;
}

// The library refuses a target above the peak: going up the peak moves
// first, going down the target.
bool OpenH264Encoder::changeBitRate(qint64 bitRate, qint64 maxRate)
{
    if (!m_encoder || bitRate <= 0 || m_settings.bitRate <= 0)
        return false;
    if (maxRate <= 0)
        maxRate = bitRate;
    const bool raising = maxRate > (m_settings.maxRate > 0 ? m_settings.maxRate : m_settings.bitRate);
    const bool changed = raising
        ? setRateOption(ENCODER_OPTION_MAX_BITRATE, maxRate) && setRateOption(ENCODER_OPTION_BITRATE, bitRate)
        : setRateOption(ENCODER_OPTION_BITRATE, bitRate) && setRateOption(ENCODER_OPTION_MAX_BITRATE, maxRate);
    if (!changed)
        return false;
    m_settings.bitRate = bitRate;
    m_settings.maxRate = maxRate;
    return true;
}

bool OpenH264Encoder::encode(const AVFrame *frame, std::vector<AVPacketPtr> &packets)
{
    if (!frame)
        return true;  // no frames are held back: nothing to drain
    SSourcePicture picture;
    std::memset(&picture, 0, sizeof picture);
    picture.iColorFormat = videoFormatI420;
    picture.iPicWidth = frame->width;
    picture.iPicHeight = frame->height;
    for (int plane = 0; plane < 3; ++plane) {
        picture.iStride[plane] = frame->linesize[plane];
        picture.pData[plane] = frame->data[plane];
    }
    picture.uiTimeStamp = (long long)(frame->pts * 1000 / m_settings.frameRate);
    if (frame->pict_type == AV_PICTURE_TYPE_I && m_encoder->ForceIntraFrame(true) != cmResultSuccess)
        return false;

    SFrameBSInfo info;
    std::memset(&info, 0, sizeof info);
    if (m_encoder->EncodeFrame(&picture, &info) != cmResultSuccess)
        return false;
    if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid)
        return true;

    int size = 0;
    for (int i = 0; i < info.iLayerNum; ++i) {
        const SLayerBSInfo &layer = info.sLayerInfo[i];
        for (int n = 0; n < layer.iNalCount; ++n)
            size += layer.pNalLengthInByte[n];
    }
    AVPacketPtr packet = makePacket();
    if (av_new_packet(packet.get(), size) < 0)
        return false;
    int offset = 0;
    for (int i = 0; i < info.iLayerNum; ++i) {
        const SLayerBSInfo &layer = info.sLayerInfo[i];
        int layerSize = 0;
        for (int n = 0; n < layer.iNalCount; ++n)
            layerSize += layer.pNalLengthInByte[n];
        std::memcpy(packet->data + offset, layer.pBsBuf, size_t(layerSize));
        offset += layerSize;
    }
    packet->pts = packet->dts = frame->pts;
    if (info.eFrameType == videoFrameTypeIDR)
        packet->flags |= AV_PKT_FLAG_KEY;
    packets.push_back(std::move(packet));
    return true;
}

} // namespace mf
