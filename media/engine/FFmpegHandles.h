#pragma once
// Owning smart pointers for the FFmpeg handles used by the writer and reader.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}
#include <QString>
#include <memory>

namespace mf {

struct AVCodecContextDeleter { void operator()(AVCodecContext *p) const { avcodec_free_context(&p); } };
struct AVFrameDeleter { void operator()(AVFrame *p) const { av_frame_free(&p); } };
struct AVPacketDeleter { void operator()(AVPacket *p) const { av_packet_free(&p); } };
struct SwsContextDeleter { void operator()(SwsContext *p) const { sws_freeContext(p); } };
struct SwrContextDeleter { void operator()(SwrContext *p) const { swr_free(&p); } };
struct AVAudioFifoDeleter { void operator()(AVAudioFifo *p) const { av_audio_fifo_free(p); } };
struct AVDictionaryDeleter { void operator()(AVDictionary *p) const { av_dict_free(&p); } };

using AVCodecContextPtr = std::unique_ptr<AVCodecContext, AVCodecContextDeleter>;
using AVFramePtr = std::unique_ptr<AVFrame, AVFrameDeleter>;
using AVPacketPtr = std::unique_ptr<AVPacket, AVPacketDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using AVAudioFifoPtr = std::unique_ptr<AVAudioFifo, AVAudioFifoDeleter>;

inline AVFramePtr makeFrame() { return AVFramePtr(av_frame_alloc()); }
inline AVPacketPtr makePacket() { return AVPacketPtr(av_packet_alloc()); }

// Output contexts own an opened AVIO handle; input contexts are closed with
// avformat_close_input.
struct OutputFormatDeleter
{
    void operator()(AVFormatContext *p) const
    {
        if (p->pb && !(p->oformat->flags & AVFMT_NOFILE))
            avio_closep(&p->pb);
        avformat_free_context(p);
    }
};
struct InputFormatDeleter { void operator()(AVFormatContext *p) const { avformat_close_input(&p); } };
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;

QString ffmpegError(int code);

} // namespace mf
