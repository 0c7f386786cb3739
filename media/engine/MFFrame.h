#pragma once
#include <QImage>
#include <QMetaType>
#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace mf {

constexpr quint32 kPixelFormatRGB32 = 0xE436EB7E;

struct MFAudioFormat
{
    int channels = 0;
    int sampleRate = 0;
    int bits = 0;
};

struct MFFormat
{
    quint32 pixelFormat = kPixelFormatRGB32;
    int width = 0, height = 0;
    int aspectX = 0, aspectY = 0;
    double rate = 0;
    int field = 0;
    MFAudioFormat audio;
    float audioLevel = -100.f; // dB of the frame's sound
};

class MFFrame;
using MFFramePtr = std::shared_ptr<MFFrame>;

// A picture (RGB32, QImage::Format_RGB32 layout) with optional interleaved
// 16-bit sound. Pictures are implicitly shared: copies cost nothing until one
// side writes, so frames can be handed between threads freely.
class MFFrame
{
public:
    MFFrame(const MFFormat &format, const QImage &picture);

    const MFFormat &format() const { return m_format; }
    QImage image() const { return m_picture; }
    int width() const { return m_picture.width(); }
    int height() const { return m_picture.height(); }

    // Writable pixel rows; detaches the picture from other frames first.
    uchar *bits()
    {
        makePictureUnique();
        return m_picture.bits();
    }
    const uchar *constBits() const { return m_picture.constBits(); }
    int stride() const { return m_picture.bytesPerLine(); }

    const int16_t *audioData() const { return m_audio.empty() ? nullptr : m_audio.data(); }
    int audioSampleCount() const; // per channel
    void setAudio(const MFAudioFormat &fmt, int sampleCount, const int16_t *data);
    void clearAudio();

    // right and bottom are inclusive; the rectangle is clipped to the picture.
    // Null when nothing of the picture remains.
    MFFramePtr cut(int left, int top, int right, int bottom) const;
    MFFramePtr copy() const;

    // Draws src scaled into (x, y, w, h) of this picture (clipped at the
    // edges). options: "audio_gain=<dB>" mixes src's sound in at that gain;
    // -100 or below leaves it out. Without the option the sound is mixed in at 0 dB.
    bool overlay(const MFFrame &src, double x, double y, double w, double h,
                 double opacity = 1.0, const QString &options = QString());

    // Takes aspect, rate and field from fmt; size, pixel format and sound stay.
    void setTiming(const MFFormat &fmt)
    {
        m_format.aspectX = fmt.aspectX;
        m_format.aspectY = fmt.aspectY;
        m_format.rate = fmt.rate;
        m_format.field = fmt.field;
    }

    qint64 timestampUs() const { return m_timestampUs; }
    void setTimestampUs(qint64 us) { m_timestampUs = us; }

    // RMS level of interleaved samples in dB relative to full scale, at least -100.
    static float levelDb(const int16_t *samples, size_t count);

private:
    void makePictureUnique();
    bool overlayPicture(const MFFrame &src, double x, double y, double w, double h, double opacity);
    void mixAudio(const MFFrame &src, double gainDb);

    MFFormat m_format;
    QImage m_picture;
    std::vector<int16_t> m_audio;
    qint64 m_timestampUs = 0;
};

} // namespace mf

Q_DECLARE_METATYPE(mf::MFFramePtr)
