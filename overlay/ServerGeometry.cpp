#include "overlay/ServerGeometry.h"

#include "media/engine/DevicePixels.h"

#include <QGuiApplication>
#include <QWidget>

#include <X11/Xlib.h>

#include <cmath>
#include <memory>

namespace {

struct DisplayCloser
{
    void operator()(Display *d) const { XCloseDisplay(d); }
};

} // namespace

bool ServerGeometry::agrees(const QWidget *window)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return true;
    // A connection of its own: the platform's is not ours to read from.
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display)
        return true;
    int x = 0, y = 0;
    ::Window child = 0;
    if (!XTranslateCoordinates(display.get(), ::Window(window->winId()), DefaultRootWindow(display.get()), 0, 0, &x,
                               &y, &child))
        return false;
    // Qt keeps the place in its own units: a fractional scale factor leaves
    // up to a pixel of rounding either way.
    const QRect geometry = window->geometry();
    const int slack = int(std::ceil(mf::DevicePixels::factor(mf::DevicePixels::screenOf(geometry)))) - 1;
    const QPoint expected = mf::DevicePixels::toDevice(geometry).topLeft();
    return qAbs(expected.x() - x) <= slack && qAbs(expected.y() - y) <= slack;
}
