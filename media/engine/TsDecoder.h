#pragma once
#include "FFmpegHandles.h"

#include <QImage>
#include <QSize>
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
// picture, none could be decoded for a while, or nothing in it decodes at
// all, the notice tells why, once. Everything read from the stream is bounded:
// pictures above kMaxWidth x kMaxHeight are scaled down, streams announcing
// more than kMaxDecodedPixels are refused, and sound of any rate, channel
// count, layout or sample format is resampled, following each change.
class TsDecoder
{
public:
    // > 0 bytes, 0 = stop, < 0 = end of stream.
    using Source = std::function<int(uint8_t *buffer, int size)>;
    using Sink = std::function<void(QImage picture, std::vector<int16_t> sound)>;
    // soundPlays: the stream's sound goes on without pictures.
    using Notice = std::function<void(const QString &reason, bool soundPlays)>;

    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;
    // Sound waiting this long for a picture goes on alone.
    static constexpr int kSoundAloneMs = 100;
    // Sound alone this long while the stream has a picture stream: its
    // pictures cannot be decoded (longer than a group of pictures, so a start
    // between key frames does not count).
    static constexpr int kNoPictureMs = 3000;
    // Pictures larger than this are scaled down to fit, aspect ratio kept,
    // right after decoding: what a preview can show, and a bound on what
    // every queue behind the decoder holds.
    static constexpr int kMaxWidth = 4096;
    static constexpr int kMaxHeight = 2304;
    // Streams announcing more pixels than this are not decoded at all: the
    // decoder's own picture buffers would grow with them.
    static constexpr qint64 kMaxDecodedPixels = qint64(8192) * 4608;
    // How much converted sound one pass of the resampler may produce.
    static constexpr int kMaxSoundChunk = kSampleRate / 10;

    // The size a decoded picture is delivered at.
    static QSize deliveredSize(int width, int height);

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
    bool prepareResampler(const AVFrame *frame);
    void appendSound(int produced, const Sink &sink);
    void deliverSoundAlone(const Sink &sink);
    bool hasStream(AVMediaType type) const;
    bool soundCame() const;
    void noteVideoFailure(const QString &reason);
    void checkNothingDecoded();
    QString nothingDecodes() const;
    void giveNotice(const QString &reason, bool soundPlays);
    void refuseSize(int width, int height);
    static int readPacket(void *opaque, uint8_t *buffer, int size);
    static int pictureBuffer(AVCodecContext *context, AVFrame *frame, int flags);
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
    // The sound format m_resampler was made for; any change makes a new one.
    AVChannelLayout m_resamplerLayout{};
    int m_resamplerRate = 0;
    int m_resamplerFormat = -1;
    std::vector<int16_t> m_pendingSound;
    Notice m_notice;
    QString m_videoFailure;
    qint64 m_soundAloneSamples = 0;  // since the last picture
    bool m_noticeGiven = false;
    bool m_sizeRefused = false;
    std::atomic<quint64> m_tooLarge{0};  // width << 32 | height of a refused picture
    bool m_gotPicture = false;
    // Nothing decoded (neither picture nor sound) since then; steady clock, ms.
    qint64 m_quietSinceMs = 0;
};

} // namespace mf
