#include "media/engine/MFFactory.h"

#include "media/engine/MFOptions.h"
#include "media/engine/MFPicturePool.h"

#include <QDebug>

#include <cstring>

namespace mf {

namespace {

bool validPicture(const MFFormat &fmt)
{
    return fmt.pixelFormat == kPixelFormatRGB32 && fmt.width > 0 && fmt.height > 0;
}

void fillRows(QImage &image, quint32 argb)
{
    const quint32 pixel = argb | 0xFF000000u; // RGB32 keeps alpha opaque
    auto *row = reinterpret_cast<quint32 *>(image.bits());
    std::fill(row, row + image.width(), pixel);
    const size_t bytes = size_t(image.width()) * 4;
    for (int y = 1; y < image.height(); ++y)
        std::memcpy(image.scanLine(y), row, bytes);
}

} // namespace

MFFramePtr MFFactory::create(const MFFormat &fmt, const QString &options)
{
    if (!validPicture(fmt)) {
        qWarning() << "MFFactory::create: unsupported format" << Qt::hex << fmt.pixelFormat << Qt::dec
                   << fmt.width << "x" << fmt.height;
        return nullptr;
    }
    QImage picture = MFPicturePool::allocate(QSize(fmt.width, fmt.height));
    if (picture.isNull())
        return nullptr;
    quint32 argb = 0xFF000000u;
    const QString color = MFOptions::parse(options).value(QStringLiteral("solid_color"));
    if (!color.isEmpty() && !MFOptions::parseColor(color, &argb))
        qWarning() << "MFFactory::create: unknown colour" << color;
    fillRows(picture, argb);
    return std::make_shared<MFFrame>(fmt, picture);
}

MFFramePtr MFFactory::fromMemory(const MFFormat &fmt, const uchar *data, int stride)
{
    if (!validPicture(fmt) || !data || stride < fmt.width * 4)
        return nullptr;
    QImage picture = MFPicturePool::allocate(QSize(fmt.width, fmt.height));
    if (picture.isNull())
        return nullptr;
    const size_t bytes = size_t(fmt.width) * 4;
    for (int y = 0; y < fmt.height; ++y)
        std::memcpy(picture.scanLine(y), data + size_t(y) * size_t(stride), bytes);
    return std::make_shared<MFFrame>(fmt, picture);
}

MFFramePtr MFFactory::fromImage(const QImage &image)
{
    if (image.isNull())
        return nullptr;
    MFFormat fmt;
    fmt.width = image.width();
    fmt.height = image.height();
    return std::make_shared<MFFrame>(fmt, image);
}

} // namespace mf
