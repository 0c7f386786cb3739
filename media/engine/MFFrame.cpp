#include "media/engine/MFFrame.h"

#include "media/engine/MFOptions.h"
#include "media/engine/MFPicturePool.h"

#include <QDebug>

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
#include <libyuv/scale_argb.h>
}

namespace mf {

namespace {

// One scaler per thread and size pair; the mixer scales the same sizes every turn.
struct ScalerCache
{
    struct Entry
    {
        int sw, sh, dw, dh;
        SwsContext *ctx;
    };
    std::vector<Entry> entries;
    ~ScalerCache()
    {
        for (auto &e : entries)
            sws_freeContext(e.ctx);
    }
    SwsContext *get(int sw, int sh, int dw, int dh)
    {
        for (auto &e : entries)
            if (e.sw == sw && e.sh == sh && e.dw == dw && e.dh == dh)
                return e.ctx;
        if (entries.size() >= 16) {
            sws_freeContext(entries.front().ctx);
            entries.erase(entries.begin());
        }
        SwsContext *ctx = sws_getContext(sw, sh, AV_PIX_FMT_BGRA, dw, dh, AV_PIX_FMT_BGRA,
                                         SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (ctx)
            entries.push_back({sw, sh, dw, dh, ctx});
        return ctx;
    }
};

// Half the size in both directions, each pixel the mean of four (libyuv's
// box filter).
QImage halved(const QImage &src)
{
    const int w = src.width() / 2, h = src.height() / 2;
    QImage out = MFPicturePool::allocate(QSize(w, h));
    if (out.isNull())
        return out;
    libyuv::ARGBScale(src.constBits(), int(src.bytesPerLine()), w * 2, h * 2, out.bits(), int(out.bytesPerLine()), w,
                      h, libyuv::kFilterBox);
    return out;
}

bool scaleInto(const QImage &source, uchar *dst, int dstStride, int dw, int dh)
{
    // Large reductions: box-halve first (cheap, and it averages every source
    // pixel), so the scaler only has a reduction below 2 left to do.
    QImage reduced;
    const QImage *srcp = &source;
    while (srcp->width() >= 2 * dw && srcp->height() >= 2 * dh) {
        reduced = halved(*srcp);
        if (reduced.isNull())
            return false;
        srcp = &reduced;
    }
    const QImage &src = *srcp;
    thread_local ScalerCache cache;
    SwsContext *ctx = cache.get(src.width(), src.height(), dw, dh);
    if (!ctx)
        return false;
    const uint8_t *srcPlanes[4] = {src.constBits(), nullptr, nullptr, nullptr};
    const int srcStrides[4] = {int(src.bytesPerLine()), 0, 0, 0};
    uint8_t *dstPlanes[4] = {dst, nullptr, nullptr, nullptr};
    const int dstStrides[4] = {dstStride, 0, 0, 0};
    return sws_scale(ctx, srcPlanes, srcStrides, 0, src.height(), dstPlanes, dstStrides) == dh;
}

void copyRows(const uchar *src, int srcStride, uchar *dst, int dstStride, int widthPx, int rows,
              double opacity)
{
    if (opacity >= 1.0) {
        for (int y = 0; y < rows; ++y)
            std::memcpy(dst + size_t(y) * dstStride, src + size_t(y) * srcStride, size_t(widthPx) * 4);
        return;
    }
    const int a = qBound(0, int(std::lround(opacity * 256)), 256);
    for (int y = 0; y < rows; ++y) {
        const uchar *s = src + size_t(y) * srcStride;
        uchar *d = dst + size_t(y) * dstStride;
        for (int i = 0; i < widthPx * 4; i += 4) {
            for (int c = 0; c < 3; ++c)
                d[i + c] = uchar((s[i + c] * a + d[i + c] * (256 - a)) >> 8);
            d[i + 3] = 0xFF;
        }
    }
}

} // namespace

MFFrame::MFFrame(const MFFormat &format, const QImage &picture)
    : m_format(format), m_picture(picture)
{
    if (!m_picture.isNull() && m_picture.format() != QImage::Format_RGB32)
        m_picture = m_picture.convertToFormat(QImage::Format_RGB32);
    m_format.pixelFormat = kPixelFormatRGB32;
    m_format.width = m_picture.width();
    m_format.height = m_picture.height();
}

int MFFrame::audioSampleCount() const
{
    const int channels = m_format.audio.channels;
    return channels > 0 ? int(m_audio.size() / size_t(channels)) : 0;
}

void MFFrame::setAudio(const MFAudioFormat &fmt, int sampleCount, const int16_t *data)
{
    if (fmt.channels <= 0 || sampleCount <= 0 || !data) {
        clearAudio();
        m_format.audio = fmt;
        return;
    }
    m_format.audio = fmt;
    m_audio.assign(data, data + size_t(sampleCount) * size_t(fmt.channels));
    m_format.audioLevel = levelDb(m_audio.data(), m_audio.size());
}

void MFFrame::clearAudio()
{
    m_audio.clear();
    m_format.audioLevel = -100.f;
}

MFFramePtr MFFrame::cut(int left, int top, int right, int bottom) const
{
    const QRect area = QRect(QPoint(left, top), QPoint(right, bottom)) & m_picture.rect();
    if (area.isEmpty())
        return nullptr;
    auto frame = std::make_shared<MFFrame>(m_format, m_picture.copy(area));
    frame->m_audio = m_audio;
    frame->m_timestampUs = m_timestampUs;
    return frame;
}

MFFramePtr MFFrame::copy() const
{
    return std::make_shared<MFFrame>(*this);
}

bool MFFrame::overlay(const MFFrame &src, double x, double y, double w, double h, double opacity,
                      const QString &options)
{
    const auto opts = MFOptions::parse(options);
    bool ok = overlayPicture(src, x, y, w, h, opacity);
    const double gainDb = opts.value(QStringLiteral("audio_gain"), QStringLiteral("0")).toDouble();
    if (gainDb > -100.0)
        mixAudio(src, gainDb);
    return ok;
}

void MFFrame::makePictureUnique()
{
    // Writing into a shared picture copies it; take the copy from the pool.
    if (!m_picture.isNull() && !m_picture.isDetached()) {
        QImage own = MFPicturePool::copyOf(m_picture);
        if (!own.isNull())
            m_picture = own;
    }
}

bool MFFrame::overlayPicture(const MFFrame &src, double x, double y, double w, double h,
                             double opacity)
{
    if (m_picture.isNull())
        return src.m_picture.isNull();
    if (src.m_picture.isNull())
        return true; // a sound-only frame
    if (!(w > 0) || !(h > 0) || opacity <= 0.0)
        return true;
    const int left = int(std::lround(x)), top = int(std::lround(y));
    const QRect target(left, top, int(std::lround(x + w)) - left, int(std::lround(y + h)) - top);
    const QRect visible = target & m_picture.rect();
    if (visible.isEmpty() || target.isEmpty())
        return true;

    makePictureUnique();
    const int dstStride = m_picture.bytesPerLine();
    uchar *dst = m_picture.bits() + size_t(visible.top()) * dstStride + size_t(visible.left()) * 4;
    const QImage &pic = src.m_picture;
    if (target.size() == pic.size()) {
        const QPoint from = visible.topLeft() - target.topLeft();
        const uchar *s = pic.constBits() + size_t(from.y()) * pic.bytesPerLine() + size_t(from.x()) * 4;
        copyRows(s, int(pic.bytesPerLine()), dst, dstStride, visible.width(), visible.height(), opacity);
        return true;
    }
    if (visible == target && opacity >= 1.0)
        return scaleInto(pic, dst, dstStride, target.width(), target.height());

    QImage scaled(target.size(), QImage::Format_RGB32);
    if (scaled.isNull() || !scaleInto(pic, scaled.bits(), int(scaled.bytesPerLine()), target.width(), target.height()))
        return false;
    const QPoint from = visible.topLeft() - target.topLeft();
    const uchar *s = scaled.constBits() + size_t(from.y()) * scaled.bytesPerLine() + size_t(from.x()) * 4;
    copyRows(s, int(scaled.bytesPerLine()), dst, dstStride, visible.width(), visible.height(), opacity);
    return true;
}

void MFFrame::mixAudio(const MFFrame &src, double gainDb)
{
    if (src.m_audio.empty())
        return;
    const double gain = std::pow(10.0, gainDb / 20.0);
    if (m_audio.empty()) {
        m_format.audio = src.m_format.audio;
        m_audio.resize(src.m_audio.size());
        for (size_t i = 0; i < m_audio.size(); ++i)
            m_audio[i] = int16_t(qBound(-32768L, std::lround(src.m_audio[i] * gain), 32767L));
    } else {
        if (m_format.audio.channels != src.m_format.audio.channels) {
            qWarning() << "MFFrame::overlay: sound with" << src.m_format.audio.channels
                       << "channels not mixed into" << m_format.audio.channels;
            return;
        }
        const size_t n = std::min(m_audio.size(), src.m_audio.size());
        for (size_t i = 0; i < n; ++i)
            m_audio[i] = int16_t(qBound(-32768L, std::lround(m_audio[i] + src.m_audio[i] * gain), 32767L));
    }
    m_format.audioLevel = levelDb(m_audio.data(), m_audio.size());
}

float MFFrame::levelDb(const int16_t *samples, size_t count)
{
    if (!samples || count == 0)
        return -100.f;
    double sum = 0;
    for (size_t i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    const double rms = std::sqrt(sum / double(count)) / 32768.0;
    if (rms <= 1e-5)
        return -100.f;
    return float(std::max(-100.0, 20.0 * std::log10(rms)));
}

} // namespace mf
