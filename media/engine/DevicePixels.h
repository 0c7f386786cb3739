#pragma once
#include <QPoint>
#include <QRect>

class QScreen;

namespace mf {

// Converts Qt's device-independent desktop geometry to the pixels of the
// screen the capture works in. Qt keeps each screen's top-left corner in
// device pixels and scales everything from there by that screen's factor, so
// a point converts by the screen it lies on. GUI thread only.
class DevicePixels
{
public:
    // The factor from Qt's geometry to device pixels on this screen. On X11
    // it is the screen's device pixel ratio; elsewhere the platform already
    // reports the compositor's own (logical) coordinates, which the portal's
    // streams are placed in, and only a forced Qt scale factor remains.
    static double factor(const QScreen *screen);
    // The screen a rectangle lies on: the one holding its centre, else its
    // top-left corner, else the one it overlaps most, else the primary one.
    static QScreen *screenOf(const QRect &rect);
    static QPoint toDevice(const QPoint &point, const QScreen *screen);
    static QRect toDevice(const QRect &rect);
    static QRect toDevice(const QRect &rect, const QScreen *screen);
    static QPoint fromDevice(const QPoint &point, const QScreen *screen);
    // A screen's own geometry in device pixels.
    static QRect screenGeometry(const QScreen *screen);
};

} // namespace mf
