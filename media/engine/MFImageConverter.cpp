#include "media/engine/MFImageConverter.h"

#include "media/engine/MFFit.h"
#include "media/engine/MFPicturePool.h"

#include <QtGlobal>

#include <cmath>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

namespace mf {

namespace {

bool isRgb32(AVPixelFormat f) { return f == AV_PIX_FMT_BGR0 || f == AV_PIX_FMT_BGRA; }

// Same-size copy of 32-bit BGR pixels with the alpha byte forced opaque, as RGB32 requires.
void copyOpaque(const uint8_t *src, int srcStride, uint8_t *dst, int dstStride, int width, int height)
{
    for (int y = 0; y < height; ++y) {
        const auto *s = reinterpret_cast<const quint32 *>(src + size_t(y) * srcStride);
        auto *d = reinterpret_cast<quint32 *>(dst + size_t(y) * dstStride);
        for (int x = 0; x < width; ++x)
            d[x] = s[x] | 0xFF000000u;
    }
}

void fill(QImage &image, quint32 argb)
{
    const quint32 pixel = argb | 0xFF000000u;
    for (int y = 0; y < image.height(); ++y) {
        auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
        std::fill(row, row + image.width(), pixel);
    }
}

} // namespace

void MFImageConverter::SwsDeleter::operator()(SwsContext *c) const { sws_freeContext(c); }

MFImageConverter::MFImageConverter() = default;
MFImageConverter::~MFImageConverter() = default;

MFFramePtr MFImageConverter::convert(const uint8_t *const planes[4], const int strides[4],
                                     AVPixelFormat format, int width, int height, const QSize &target,
                                     quint32 backgroundArgb)
{
    if (width <= 0 || height <= 0)
        return nullptr;
    const QSize size = target.isEmpty() ? QSize(width, height) : target;
    QImage picture = MFPicturePool::allocate(size);
    if (picture.isNull())
        return nullptr;
    QRect place(QPoint(0, 0), size);
    if (size != QSize(width, height)) {
        const QRectF fit = MFFit::placement(width, height, size.width(), size.height());
        const int left = int(std::lround(fit.x())), top = int(std::lround(fit.y()));
        place = QRect(left, top, int(std::lround(fit.right())) - left, int(std::lround(fit.bottom())) - top)
                    .intersected(picture.rect());
        if (place != picture.rect())
            fill(picture, backgroundArgb);
    }
    uint8_t *dst = picture.bits() + size_t(place.y()) * picture.bytesPerLine() + size_t(place.x()) * 4;
    const int dstStride = int(picture.bytesPerLine());
    if (place.size() == QSize(width, height) && isRgb32(format)) {
        copyOpaque(planes[0], strides[0], dst, dstStride, width, height);
    } else if (!place.isEmpty()
               && !scale(planes, strides, format, width, height, dst, dstStride, place.width(), place.height())) {
        return nullptr;
    }
    MFFormat fmt;
    fmt.width = size.width();
    fmt.height = size.height();
    return std::make_shared<MFFrame>(fmt, picture);
}

bool MFImageConverter::scale(const uint8_t *const planes[4], const int strides[4], AVPixelFormat format,
                             int width, int height, uint8_t *dst, int dstStride, int dw, int dh)
{
    const int key[5] = {int(format), width, height, dw, dh};
    if (!m_sws || std::memcmp(key, m_key, sizeof key) != 0) {
        m_sws.reset(sws_getContext(width, height, format, dw, dh, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                   nullptr, nullptr, nullptr));
        std::memcpy(m_key, key, sizeof key);
    }
    if (!m_sws)
        return false;
    uint8_t *dstPlanes[4] = {dst, nullptr, nullptr, nullptr};
    const int dstStrides[4] = {dstStride, 0, 0, 0};
    if (sws_scale(m_sws.get(), planes, strides, 0, height, dstPlanes, dstStrides) != dh)
        return false;
    if (isRgb32(format)) // bgr0 carries no alpha; RGB32 wants it opaque
        for (int y = 0; y < dh; ++y) {
            auto *row = reinterpret_cast<quint32 *>(dst + size_t(y) * dstStride);
            for (int x = 0; x < dw; ++x)
                row[x] |= 0xFF000000u;
        }
    return true;
}

} // namespace mf
