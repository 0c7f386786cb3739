// What a repeated picture costs the writer against a new one. While the
// writer drops pictures it encodes the last picture again (already converted
// to YUV) into the gaps; this measures, with the writer's encoder settings,
// the colour conversion and encoding of new pictures in a steady stream, and
// of new pictures and repeats in a stream where every third frame is new and
// the one before it a repeat. Two kinds of picture: a screen (the test
// pattern: still bars, a small moving part) and a camera (the whole picture
// pans, with sensor noise).
#include "media/engine/FFmpegHandles.h"
#include "media/engine/FFmpegVideoEncoder.h"
#include "media/engine/MFTestPatternSource.h"
#include "media/engine/OpenH264Encoder.h"

#include <QCoreApplication>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>

#include <cstdio>
#include <ctime>
#include <memory>

namespace {

constexpr int kPictures = 100;
constexpr int kRounds = 3;
constexpr int kGroup = 50;

struct Times
{
    double convert = 0;  // ms per new picture
    double picture = 0;  // ms per new picture's encoding
    double repeat = 0;   // ms per repeat's encoding
};

std::unique_ptr<mf::VideoEncoder> openEncoder(const QString &codec, const mf::VideoEncoderSettings &settings)
{
    if (codec == QLatin1String("libopenh264")) {
        auto encoder = std::make_unique<mf::OpenH264Encoder>();
        return encoder->open(settings) ? std::move(encoder) : nullptr;
    }
    auto encoder = std::make_unique<mf::FFmpegVideoEncoder>();
    return encoder->open(codec, settings) ? std::move(encoder) : nullptr;
}

enum class Content { Screen, Camera };

// A landscape of soft shapes, larger than the picture, to pan over.
QImage scenery(int width, int height)
{
    QImage image(width * 2, height, QImage::Format_RGB32);
    image.fill(QColor(90, 120, 160));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QRandomGenerator random(7);
    for (int i = 0; i < 400; ++i) {
        const QColor colour = QColor::fromHsv(random.bounded(360), 60 + random.bounded(150), 60 + random.bounded(190));
        const int size = 8 + random.bounded(height / 4);
        painter.setBrush(colour);
        painter.setPen(colour.darker(130));
        painter.drawEllipse(random.bounded(image.width()), random.bounded(height), size, size);
    }
    return image;
}

class Run
{
public:
    Run(const QString &codec, Content content, int width, int height)
        : m_codec(codec), m_content(content), m_width(width), m_height(height)
    {
        m_image = QImage(m_width, m_height, QImage::Format_RGB32);
        if (content == Content::Camera)
            m_scenery = scenery(width, height);
    }

    // Every stride-th frame index gets a new picture; with stride > 1 the
    // index before each new one gets a repeat (at most two frames apart).
    bool measure(int stride, Times &times)
    {
        mf::VideoEncoderSettings settings;
        settings.width = m_width;
        settings.height = m_height;
        settings.bitRate = settings.maxRate = 1024000;
        settings.profile = QStringLiteral("Main");
        m_encoder = openEncoder(m_codec, settings);
        if (!m_encoder || !allocate())
            return false;
        m_lastIndex = -1;
        qint64 convertNs = 0, pictureNs = 0, repeatNs = 0;
        int repeats = 0;
        for (int n = 0; n < kPictures; ++n) {
            const qint64 index = qint64(n) * stride;
            if (stride > 1 && n > 0) {
                repeatNs += timed([&] { return encode(index - 1); });
                ++repeats;
            }
            paint(index);
            convertNs += timed([&] { return convert(); });
            pictureNs += timed([&] { return encode(index); });
        }
        if (m_failed)
            return false;
        times.convert = convertNs / 1e6 / kPictures;
        times.picture = pictureNs / 1e6 / kPictures;
        times.repeat = repeats ? repeatNs / 1e6 / repeats : 0;
        return true;
    }

private:
    // Processor time of the whole process (the encoders' own threads
    // included), so that other work on the machine does not count.
    static qint64 cpuNs()
    {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

    template <typename Step>
    qint64 timed(Step step)
    {
        const qint64 start = cpuNs();
        if (!step())
            m_failed = true;
        return cpuNs() - start;
    }

    bool allocate()
    {
        m_frame = mf::makeFrame();
        m_frame->format = m_encoder->inputFormat();
        m_frame->width = m_width;
        m_frame->height = m_height;
        m_scaler.reset(sws_getContext(m_width, m_height, AV_PIX_FMT_BGRA, m_width, m_height,
                                      AVPixelFormat(m_frame->format), SWS_BICUBIC, nullptr, nullptr, nullptr));
        return m_scaler && av_frame_get_buffer(m_frame.get(), 0) >= 0;
    }

    void paint(qint64 index)
    {
        if (m_content == Content::Screen) {
            mf::MFTestPatternSource::draw(m_image, index, index * 40);
            return;
        }
        const int offset = int(index * 4 % (m_scenery.width() - m_width));
        QRandomGenerator random(quint32(index + 1));
        for (int y = 0; y < m_height; ++y) {
            const auto *from = reinterpret_cast<const QRgb *>(m_scenery.constScanLine(y)) + offset;
            auto *to = reinterpret_cast<QRgb *>(m_image.scanLine(y));
            for (int x = 0; x < m_width; ++x) {
                const int noise = int(random.bounded(9u)) - 4;
                const QRgb c = from[x];
                to[x] = qRgb(qBound(0, qRed(c) + noise, 255), qBound(0, qGreen(c) + noise, 255),
                             qBound(0, qBlue(c) + noise, 255));
            }
        }
    }

    bool convert()
    {
        if (av_frame_make_writable(m_frame.get()) < 0)
            return false;
        const uint8_t *src[1] = {m_image.constBits()};
        const int stride[1] = {int(m_image.bytesPerLine())};
        sws_scale(m_scaler.get(), src, stride, 0, m_height, m_frame->data, m_frame->linesize);
        return true;
    }

    // As the writer does: the first picture of each group of 50 frames of
    // stream time is a key frame.
    bool encode(qint64 index)
    {
        const bool startsGroup = m_lastIndex < 0 || index / kGroup != m_lastIndex / kGroup;
        m_frame->pts = index;
        m_frame->pict_type = startsGroup ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        m_lastIndex = index;
        std::vector<mf::AVPacketPtr> packets;
        return m_encoder->encode(m_frame.get(), packets);
    }

    QString m_codec;
    Content m_content;
    int m_width;
    int m_height;
    std::unique_ptr<mf::VideoEncoder> m_encoder;
    mf::AVFramePtr m_frame;
    mf::SwsContextPtr m_scaler;
    QImage m_image;
    QImage m_scenery;
    qint64 m_lastIndex = -1;
    bool m_failed = false;
};

// The least of a few runs: other work on the machine (cache, frequency) only
// ever adds time.
bool measureBest(Run &run, int stride, Times &best)
{
    for (int round = 0; round < kRounds; ++round) {
        Times times;
        if (!run.measure(stride, times))
            return false;
        if (round == 0 || times.convert < best.convert)
            best.convert = times.convert;
        if (round == 0 || times.picture < best.picture)
            best.picture = times.picture;
        if (round == 0 || times.repeat < best.repeat)
            best.repeat = times.repeat;
    }
    return true;
}

void report(const QString &codec, Content content, int width, int height)
{
    Times steady, dropping;
    Run run(codec, content, width, height);
    const char *kind = content == Content::Screen ? "screen" : "camera";
    if (!measureBest(run, 1, steady) || !measureBest(run, 3, dropping)) {
        std::printf("%-12s %s %dx%d: encoder failed\n", qPrintable(codec), kind, width, height);
        return;
    }
    std::printf("%-12s %s %4dx%-4d convert %5.2f | steady: new %6.2f | dropping: new %6.2f, repeat %6.2f"
                " | ratio repeat/new %.2f, repeat/(convert+new) %.2f\n",
                qPrintable(codec), kind, width, height, steady.convert, steady.picture, dropping.picture,
                dropping.repeat, dropping.repeat / steady.picture,
                dropping.repeat / (steady.convert + steady.picture));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    av_log_set_level(AV_LOG_FATAL);
    std::printf("repeated pictures: %d new pictures per run, best of %d runs, 1024 kbit/s, processor ms per picture\n",
                kPictures, kRounds);
    for (const char *codec : {"libx264", "libopenh264", "mpeg2video"}) {
        for (Content content : {Content::Screen, Content::Camera}) {
            report(QString::fromLatin1(codec), content, 1280, 720);
            report(QString::fromLatin1(codec), content, 1920, 1080);
        }
    }
    return 0;
}
