#include "media/engine/MFTestPatternSource.h"

#include "media/engine/MFPicturePool.h"

#include <QDateTime>
#include <QGuiApplication>
#include <QPainter>

#include <cmath>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace mf {

namespace {

constexpr QSize kDefaultSize(1280, 720);

// Two marker blocks (white, black) before the bits, so a reader can check it
// found the code at all.
constexpr int kMarkerBlocks = 2;
constexpr int kBlocks = kMarkerBlocks + MFTestPatternSource::kCodeBits;

int blockSize(int width) { return qMax(2, width / 40); }

QRect squareRect(const QSize &size, qint64 frameNumber)
{
    const int w = size.width(), h = size.height();
    const int side = qMax(4, h / 6);
    const int travel = qMax(1, w - side);
    const int x = int((frameNumber * 8 * qMax(1, w / 320)) % (2 * travel));
    return QRect(x < travel ? x : 2 * travel - x, h / 2 - side / 2, side, side);
}

int clockPixelSize(const QSize &size) { return qMax(8, size.height() / 12); }

// The whole width: the text is centred on it, over a black box half as wide.
QRect clockBox(const QSize &size)
{
    const int px = clockPixelSize(size);
    return QRect(0, size.height() * 3 / 4 - px * 2, size.width(), px * 2);
}

void copyArea(const QImage &from, QImage &to, const QRect &area)
{
    const QRect r = area & from.rect();
    for (int y = r.top(); y <= r.bottom(); ++y)
        std::memcpy(to.scanLine(y) + size_t(r.left()) * 4, from.constScanLine(y) + size_t(r.left()) * 4,
                    size_t(r.width()) * 4);
}

} // namespace

// The pictures handed out come back here when their last copy goes, with
// what was drawn on them: the next picture restores only that from the
// background instead of copying all of it. Readers get the pictures as
// read-only data, so whoever wants to draw on one works on a copy.
class TestPatternPictures : public std::enable_shared_from_this<TestPatternPictures>
{
public:
    QImage draw(const QImage &background, qint64 frameNumber, qint64 wallClockMs)
    {
        Picture picture = take(background.size());
        if (picture.image.isNull()) {
            picture.image = MFPicturePool::copyOf(background);
        } else {
            for (const QRect &r : picture.drawn)
                copyArea(background, picture.image, r);
        }
        if (picture.image.isNull())
            return {};
        MFTestPatternSource::draw(picture.image, frameNumber, wallClockMs);
        picture.drawn = MFTestPatternSource::drawnArea(background.size(), frameNumber);
        return handOut(std::move(picture));
    }

private:
    static constexpr size_t kMaxIdle = 4;
    struct Picture
    {
        QImage image;  // the only reference to its buffer
        QRegion drawn;
    };
    struct Lease
    {
        std::shared_ptr<TestPatternPictures> owner;
        Picture picture;
    };

    Picture take(const QSize &size)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        while (!m_idle.empty()) {
            Picture picture = std::move(m_idle.back());
            m_idle.pop_back();
            if (picture.image.size() == size)
                return picture;
        }
        return {};
    }

    QImage handOut(Picture picture)
    {
        const QImage &image = picture.image;
        const uchar *bits = image.constBits();
        const int w = image.width(), h = image.height();
        const qsizetype stride = image.bytesPerLine();
        auto lease = std::make_unique<Lease>(Lease{shared_from_this(), std::move(picture)});
        QImage out(bits, w, h, stride, QImage::Format_RGB32, &giveBack, lease.get());
        if (out.isNull())
            return {};
        lease.release();  // the image's from here
        return out;
    }

    // Runs where the last copy of a handed-out picture goes, any thread.
    static void giveBack(void *info)
    {
        std::unique_ptr<Lease> lease(static_cast<Lease *>(info));
        TestPatternPictures &owner = *lease->owner;
        std::lock_guard<std::mutex> lock(owner.m_mutex);
        if (owner.m_idle.size() < kMaxIdle)
            owner.m_idle.push_back(std::move(lease->picture));
    }

    std::mutex m_mutex;
    std::vector<Picture> m_idle;
};

MFTestPatternSource::MFTestPatternSource() : m_pictures(std::make_shared<TestPatternPictures>()) {}

MFTestPatternSource::~MFTestPatternSource() = default;

MFFramePtr MFTestPatternSource::read(const QSize &target)
{
    waitForNextTick();
    const QSize size = target.isEmpty() ? kDefaultSize : target;
    const qint64 nowMs = QDateTime::currentMSecsSinceEpoch();
    const QImage picture = m_pictures->draw(background(size), m_frameNumber++, nowMs);
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
    const int w = image.width();
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
    p.fillRect(squareRect(image.size(), frameNumber), Qt::white);

    // Text needs the font database, which only exists with a GUI application.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        QFont font;
        font.setPixelSize(clockPixelSize(image.size()));
        font.setBold(true);
        p.setFont(font);
        p.setPen(Qt::white);
        const QString text = QDateTime::fromMSecsSinceEpoch(wallClockMs).toString("HH:mm:ss.zzz");
        const QRect box = clockBox(image.size());
        p.fillRect(box.adjusted(w / 4, 0, -w / 4, 0), QColor(0, 0, 0));
        p.drawText(box, Qt::AlignCenter, text);
    }
}

QRegion MFTestPatternSource::drawnArea(const QSize &size, qint64 frameNumber)
{
    QRegion area(0, 0, size.width(), blockSize(size.width()) * 2);  // the code strip
    area += squareRect(size, frameNumber);
    area += clockBox(size);
    return area;
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
