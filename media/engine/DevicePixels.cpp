#include "media/engine/DevicePixels.h"

#include <QGuiApplication>
#include <QScreen>

#include <cmath>

namespace mf {

namespace {

int scaled(int value, double factor)
{
    return int(std::lround(value * factor));
}

} // namespace

double DevicePixels::factor(const QScreen *screen)
{
    if (!screen)
        return 1.0;
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        return screen->devicePixelRatio();
    bool ok = false;
    const double forced = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    return ok && forced > 0 ? forced : 1.0;
}

QScreen *DevicePixels::screenOf(const QRect &rect)
{
    const auto screens = QGuiApplication::screens();
    for (QScreen *screen : screens)
        if (screen->geometry().contains(rect.center()))
            return screen;
    for (QScreen *screen : screens)
        if (screen->geometry().contains(rect.topLeft()))
            return screen;
    QScreen *best = nullptr;
    qint64 bestArea = 0;
    for (QScreen *screen : screens) {
        const QRect common = screen->geometry() & rect;
        const qint64 area = qint64(common.width()) * common.height();
        if (area > bestArea) {
            best = screen;
            bestArea = area;
        }
    }
    return best ? best : QGuiApplication::primaryScreen();
}

QPoint DevicePixels::toDevice(const QPoint &point, const QScreen *screen)
{
    if (!screen)
        return point;
    const double f = factor(screen);
    const QPoint origin = screen->geometry().topLeft();
    const QPoint local = point - origin;
    return origin + QPoint(scaled(local.x(), f), scaled(local.y(), f));
}

QRect DevicePixels::toDevice(const QRect &rect)
{
    return toDevice(rect, screenOf(rect));
}

QRect DevicePixels::toDevice(const QRect &rect, const QScreen *screen)
{
    if (!screen || rect.isNull())
        return rect;
    const double f = factor(screen);
    return QRect(toDevice(rect.topLeft(), screen), QSize(scaled(rect.width(), f), scaled(rect.height(), f)));
}

QPoint DevicePixels::fromDevice(const QPoint &point, const QScreen *screen)
{
    if (!screen)
        return point;
    const double f = factor(screen);
    const QPoint origin = screen->geometry().topLeft();
    const QPoint local = point - origin;
    return origin + QPoint(int(std::lround(local.x() / f)), int(std::lround(local.y() / f)));
}

QRect DevicePixels::screenGeometry(const QScreen *screen)
{
    if (!screen)
        return {};
    return toDevice(screen->geometry(), screen);
}

} // namespace mf
