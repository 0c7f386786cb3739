#include "media/engine/MFTestPatternSource.h"

#include "media/engine/MFPicturePool.h"

#include <QDateTime>
#include <QGuiApplication>
#include <QPainter>

#include <cmath>
#include <thread>

namespace mf {

namespace {

constexpr QSize kDefaultSize(1280, 720);

// Two marker blocks (white, black) before the bits, so a reader can check it
// found the code at all.
constexpr int kMarkerBlocks = 2;
constexpr int kBlocks = kMarkerBlocks + MFTestPatternSource::kCodeBits;

int blockSize(int width) { return qMax(2, width / 40); }

} // namespace

MFFramePtr MFTestPatternSource::read(const QSize &target)
{
    waitForNextTick();
    const QSize size = target.isEmpty() ? kDefaultSize : target;
    QImage picture = MFPicturePool::copyOf(background(size));
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    draw(picture, m_frameNumber++, nowMs);
    MFFormat fmt;
    fmt.width = size.width();
    fmt.height = size.height();
    fmt.rate = kFps;
    auto frame = std::make_shared<MFFrame>(fmt, picture);
    frame->setTimestampUs(nowMs * 1000);
    return frame;
}

void MFTestPatternSource::waitForNextTick()
{
    const auto interval = std::chrono::microseconds(1000000 / kFps);
    const auto now = Clock::now();
    if (m_nextTick == Clock::time_point{} || now - m_nextTick > 4 * interval)
        m_nextTick = now; // first frame, or we fell far behind: start the beat again
    std::this_thread::sleep_until(m_nextTick);
    m_nextTick += interval;
}

const QImage &MFTestPatternSource::background(const QSize &size)
{
    if (m_background.size() == size)
        return m_background;
    m_background = QImage(size, QImage::Format_RGB32);
    // Eight colour bars over the upper part, a grey ramp below.
    static const QRgb bars[] = {qRgb(192, 192, 192), qRgb(192, 192, 0), qRgb(0, 192, 192), qRgb(0, 192, 0),
                                qRgb(192, 0, 192),   qRgb(192, 0, 0),   qRgb(0, 0, 192),   qRgb(16, 16, 16)};
    const int w = size.width(), h = size.height();
    for (int y = 0; y < h; ++y) {
        auto *row = reinterpret_cast<QRgb *>(m_background.scanLine(y));
        for (int x = 0; x < w; ++x) {
            if (y < h * 3 / 4) {
                row[x] = bars[qMin(7, x * 8 / w)];
            } else {
                const int g = x * 255 / qMax(1, w - 1);
                row[x] = qRgb(g, g, g);
            }
        }
    }
    return m_background;
}

void MFTestPatternSource::draw(QImage &image, qint64 frameNumber, qint64 wallClockMs)
{
    const int w = image.width(), h = image.height();
    const int block = blockSize(w);
    const quint32 code = quint32(quint64(wallClockMs) & 0xFFFFFFFFu);

    QPainter p(&image);
    // The block code along the top edge, on a mid-grey strip.
    p.fillRect(0, 0, w, block * 2, QColor(128, 128, 128));
    for (int i = 0; i < kBlocks; ++i) {
        bool white;
        if (i < kMarkerBlocks)
            white = (i == 0);
        else
            white = (code >> (kCodeBits - 1 - (i - kMarkerBlocks))) & 1u;
        p.fillRect(i * block, block / 2, block, block, white ? Qt::white : Qt::black);
    }

    // A square sweeping left to right shows motion.
    const int side = qMax(4, h / 6);
    const int travel = qMax(1, w - side);
    const int x = int((frameNumber * 8 * qMax(1, w / 320)) % (2 * travel));
    p.fillRect(x < travel ? x : 2 * travel - x, h / 2 - side / 2, side, side, Qt::white);

    // Text needs the font database, which only exists with a GUI application.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        QFont font;
        font.setPixelSize(qMax(8, h / 12));
        font.setBold(true);
        p.setFont(font);
        p.setPen(Qt::white);
        const QString text = QDateTime::fromMSecsSinceEpoch(wallClockMs).toString("HH:mm:ss.zzz");
        const QRect box(0, h * 3 / 4 - font.pixelSize() * 2, w, font.pixelSize() * 2);
        p.fillRect(box.adjusted(w / 4, 0, -w / 4, 0), QColor(0, 0, 0));
        p.drawText(box, Qt::AlignCenter, text);
    }
}

bool MFTestPatternSource::decodeTime(const QImage &image, const QRect &area, quint32 *lowMs)
{
    if (area.isEmpty() || image.isNull())
        return false;
    const double block = double(area.width()) / 40.0;
    const int y = area.top() + int(block);
    auto bright = [&](int i) {
        const int x = area.left() + int((i + 0.5) * block);
        const QRgb c = image.pixel(qBound(0, x, image.width() - 1), qBound(0, y, image.height() - 1));
        return qGray(c);
    };
    if (bright(0) < 170 || bright(1) > 85)
        return false;
    quint32 value = 0;
    for (int i = kMarkerBlocks; i < kBlocks; ++i)
        value = (value << 1) | (bright(i) >= 128 ? 1u : 0u);
    *lowMs = value;
    return true;
}

qint64 MFTestPatternSource::expandTime(quint32 lowMs, qint64 nowMs)
{
    const qint64 span = qint64(1) << 32;
    qint64 t = (nowMs & ~(span - 1)) | qint64(lowMs);
    if (t > nowMs + span / 2)
        t -= span;
    else if (t < nowMs - span / 2)
        t += span;
    return t;
}

std::vector<int16_t> MFTestPatternSource::ownSound(int samples, const MFAudioFormat &fmt)
{
    if (samples <= 0 || fmt.channels <= 0 || fmt.sampleRate <= 0)
        return {};
    std::vector<int16_t> out(size_t(samples) * size_t(fmt.channels));
    const double step = 2 * M_PI * 1000.0 / fmt.sampleRate;
    for (int i = 0; i < samples; ++i) {
        const auto v = int16_t(std::lround(0.25 * 32767 * std::sin(m_tonePhase)));
        m_tonePhase = std::fmod(m_tonePhase + step, 2 * M_PI);
        for (int c = 0; c < fmt.channels; ++c)
            out[size_t(i) * fmt.channels + c] = v;
    }
    return out;
}

} // namespace mf
