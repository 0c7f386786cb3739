#include "overlay/WindowStacking.h"

#include <QGuiApplication>
#include <QWidget>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

namespace {

struct DisplayCloser
{
    void operator()(Display *d) const { XCloseDisplay(d); }
};

} // namespace

void WindowStacking::keepAbove(QWidget *window, QWidget *owner)
{
    if (!window || !owner || QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    const ::Window below = ::Window(owner->winId());
    const ::Window above = ::Window(window->winId());
    // A connection of its own: the platform's is not ours to write on.
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display)
        return;
    XSetTransientForHint(display.get(), above, below);
    XRaiseWindow(display.get(), above);
    XSync(display.get(), False);
}
