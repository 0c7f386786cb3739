#pragma once
#include "FFmpegHandles.h"
#include "VideoEncoder.h"
#include "WriterConfiguration.h"

#include <QImage>
#include <functional>
#include <vector>

namespace mf {

// Encodes RGB32 pictures and 16-bit interleaved sound into an MPEG transport
// stream written to a libavformat URL. Timestamps come from the frame index
// (video) and from the number of samples encoded (sound), so both stay in
// step as long as every frame brings its share of sound.
//
// The frame index is the stream's clock, also when the caller skips indices
// (pictures it dropped): the last picture is encoded again into such a gap, so
// pictures, and with them the PCRs that ride on the video, stay at most two
// frame intervals apart, and every group of pictures starts with a key frame
// at its place in stream time (index 0, g, 2g, ...) rather than after g
// encoded pictures.
// Not thread-safe: one thread drives it.
class StreamEncoder
{
public:
    static constexpr int kFrameRate = 25;
    // The longest the muxer holds a packet back for the other stream (µs).
    static constexpr int64_t kMaxInterleaveDeltaUs = 1;
    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;

    StreamEncoder();
    ~StreamEncoder();

    // Connects the output. Encoders start with the first frame, whose size
    // becomes the stream's picture size. interrupt() returning true aborts
    // blocking network I/O.
    bool open(const QString &url, const WriterConfiguration &config,
              std::function<bool()> interrupt = {});
    bool isOpen() const { return bool(m_output); }

    // Pictures never lie further apart in stream time than this many frames.
    static constexpr int kMaxPictureStep = 2;

    struct Sound
    {
        const int16_t *samples = nullptr;  // null: silence
        int sampleCount = 0;  // per channel
        int channels = 0;
        int sampleRate = 0;
    };
    // picture may be null for a frame that carries only sound. Indices rise;
    // a frame without sound parts advances the sound by one frame of silence.
    bool writeFrame(qint64 frameIndex, const QImage &picture, const std::vector<Sound> &sound);
    // Brings the video up to endIndex (the index after the last frame), drains
    // the encoders and writes the trailer; the output is closed after.
    bool finish(qint64 endIndex);

    // A new video rate (bit/s, also the peak rate) from the next picture on:
    // the running encoder takes it where it can, else a fresh encoder with
    // this rate begins the next group of pictures. The stream's timing, its
    // groups and its sound do not change.
    void setVideoBitRate(qint64 bitRate);
    qint64 videoBitRate() const { return m_config.videoBitRate; }
    // Encoders opened again for a rate change.
    int videoEncoderReopens() const { return m_videoReopens; }

    // Pictures in the stream, repeats included.
    qint64 videoPacketsWritten() const { return m_videoPackets; }
    qint64 repeatedPictures() const { return m_repeatedPictures; }
    // Bytes handed to the output (the socket), also after finish().
    qint64 bytesWritten() const { return m_bytesWritten; }

private:
    bool start(const QSize &pictureSize);
    bool addVideoStream(const QSize &size);
    std::unique_ptr<VideoEncoder> openVideoEncoder() const;
    bool reopenVideoEncoder();
    bool addAudioStream();
    bool encodePicture(qint64 frameIndex, const QImage &picture);
    bool convertPicture(const QImage &picture);
    bool fillVideoGap(qint64 nextIndex);
    qint64 nextRepeatIndex(qint64 nextIndex) const;
    bool startsGroup(qint64 frameIndex) const;
    bool encodeVideoFrame(qint64 frameIndex);
    bool mux(AVPacket *packet);
    void noteBytesWritten();
    bool queueSound(const Sound &sound);
    bool queueSilence(int sampleCount);
    bool encodeQueuedSound(bool flush);
    bool writePackets(std::vector<AVPacketPtr> &packets, AVStream *stream, AVRational timeBase);
    bool drainAudio(const AVFrame *frame);

    static int interruptCallback(void *opaque);

    WriterConfiguration m_config;
    std::function<bool()> m_interrupt;
    OutputFormatPtr m_output;
    bool m_started = false;
    bool m_failed = false;

    std::unique_ptr<VideoEncoder> m_video;
    QSize m_videoSize;
    bool m_videoReopenDue = false;
    int m_videoReopens = 0;
    AVStream *m_videoStream = nullptr;
    SwsContextPtr m_scaler;
    AVFramePtr m_videoFrame;  // the last picture, converted; repeats reuse it
    qint64 m_lastVideoIndex = -1;
    qint64 m_videoPackets = 0;
    bool m_soundWritten = false;  // the muxer has had a sound packet
    qint64 m_repeatedPictures = 0;
    qint64 m_bytesWritten = 0;

    AVCodecContextPtr m_audio;
    AVStream *m_audioStream = nullptr;
    SwrContextPtr m_resampler;
    int m_resamplerChannels = 0;
    int m_resamplerRate = 0;
    AVAudioFifoPtr m_fifo;
    qint64 m_audioSamples = 0;
};

} // namespace mf
