#pragma once
#include "FFmpegHandles.h"

#include <QImage>
#include <atomic>
#include <functional>
#include <vector>

namespace mf {

// Demuxes an MPEG transport stream from a byte source and decodes its first
// video stream (H.264, HEVC, MPEG-2, ...) to RGB32 pictures and its first
// audio stream to 16-bit interleaved stereo at 44100 Hz. Each picture is
// delivered with the sound decoded since the previous one; sound that finds
// no picture to go with (a stream without one, or with one that cannot be
// decoded) is delivered alone, with a null picture. When the stream carries no
// picture, or none could be decoded for a while, the notice tells why, once.
class TsDecoder
{
public:
    // > 0 bytes, 0 = stop, < 0 = end of stream.
    using Source = std::function<int(uint8_t *buffer, int size)>;
    using Sink = std::function<void(QImage picture, std::vector<int16_t> sound)>;
    using Notice = std::function<void(const QString &reason)>;

    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;
    // Sound waiting this long for a picture goes on alone.
    static constexpr int kSoundAloneMs = 100;
    // Sound alone this long while the stream has a picture stream: its
    // pictures cannot be decoded (longer than a group of pictures, so a start
    // between key frames does not count).
    static constexpr int kNoPictureMs = 3000;

    TsDecoder(Source source, bool lowDelay);
    ~TsDecoder();

    // Runs until the source ends or stop is set. False when the stream could
    // not be opened.
    bool run(const std::atomic<bool> &stop, const Sink &sink);
    void setNotice(Notice notice) { m_notice = std::move(notice); }

private:
    struct AVIOContextDeleter { void operator()(AVIOContext *p) const; };
    bool openInput();
    bool openDecoder(int streamIndex);
    void decodePacket(const AVPacket *packet, const Sink &sink);
    void handleVideo(const AVFrame *frame, const Sink &sink);
    void handleAudio(const AVFrame *frame, const Sink &sink);
    void deliverSoundAlone(const Sink &sink);
    bool hasVideoStream() const;
    void noteVideoFailure(const QString &reason);
    static int readPacket(void *opaque, uint8_t *buffer, int size);
    static int interrupted(void *opaque);

    Source m_source;
    bool m_lowDelay;
    const std::atomic<bool> *m_stop = nullptr;
    std::unique_ptr<AVIOContext, AVIOContextDeleter> m_io;
    InputFormatPtr m_input;
    int m_videoIndex = -1;
    int m_audioIndex = -1;
    AVCodecContextPtr m_video;
    AVCodecContextPtr m_audio;
    SwsContextPtr m_scaler;
    SwrContextPtr m_resampler;
    std::vector<int16_t> m_pendingSound;
    Notice m_notice;
    QString m_videoFailure;
    qint64 m_soundAloneSamples = 0;  // since the last picture
    bool m_noticeGiven = false;
};

} // namespace mf
