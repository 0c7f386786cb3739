#include "overlay/InputCover.h"

#include "media/engine/DevicePixels.h"

#include <QApplication>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QWidget>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xrender.h>

struct InputCover::Connection
{
    Display *display = nullptr;
    ::Window window = 0;
    Cursor cursor = 0;
    ~Connection()
    {
        if (!display)
            return;
        if (cursor)
            XFreeCursor(display, cursor);
        if (window)
            XDestroyWindow(display, window);
        XCloseDisplay(display);
    }
};

namespace {

Qt::MouseButton qtButton(unsigned int button)
{
    switch (button) {
    case Button1: return Qt::LeftButton;
    case Button2: return Qt::MiddleButton;
    case Button3: return Qt::RightButton;
    default: return Qt::NoButton;
    }
}

Qt::MouseButtons qtButtons(unsigned int state)
{
    Qt::MouseButtons buttons;
    if (state & Button1Mask)
        buttons |= Qt::LeftButton;
    if (state & Button2Mask)
        buttons |= Qt::MiddleButton;
    if (state & Button3Mask)
        buttons |= Qt::RightButton;
    return buttons;
}

// The covered window may be gone or remade between Qt's word and the
// server's: such a request fails with an error, which must not end the
// program as Xlib's own handler would.
int ignoreErrors(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

bool InputCover::isAvailable()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

InputCover::InputCover(QWidget *covered) : QObject(covered), covered(covered), m_x(std::make_unique<Connection>())
{
    if (!isAvailable())
        return;
    // A connection of its own: the platform's is not ours to read from.
    m_x->display = XOpenDisplay(nullptr);
    if (!m_x->display)
        return;
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
    m_x->window = XCreateWindow(m_x->display, DefaultRootWindow(m_x->display), 0, 0, 1, 1, 0, 0, InputOnly,
                                CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    setCursorImage(QImage(), QPoint());
    XFlush(m_x->display);
    notifier = new QSocketNotifier(ConnectionNumber(m_x->display), QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &InputCover::readEvents);
}

InputCover::~InputCover() = default;

void InputCover::cover()
{
    if (!m_x->display || !covered->isVisible())
        return;
    const QRect device = mf::DevicePixels::toDevice(covered->geometry());
    if (device.isEmpty())
        return;
    XWindowChanges changes{};
    changes.x = device.x();
    changes.y = device.y();
    changes.width = device.width();
    changes.height = device.height();
    changes.sibling = ::Window(covered->winId());
    changes.stack_mode = Above;
    int (*previous)(Display *, XErrorEvent *) = XSetErrorHandler(ignoreErrors);
    XConfigureWindow(m_x->display, m_x->window, CWX | CWY | CWWidth | CWHeight | CWSibling | CWStackMode, &changes);
    if (!covering)
        XMapWindow(m_x->display, m_x->window);
    // Taken before the next event is read: a press right after this goes
    // to the cover, never to what lies beneath.
    XSync(m_x->display, False);
    XSetErrorHandler(previous);
    covering = true;
    coveredRect = device;
}

void InputCover::uncover()
{
    if (!m_x->display || !covering)
        return;
    XUnmapWindow(m_x->display, m_x->window);
    XSync(m_x->display, False);
    covering = false;
}

void InputCover::setCursorImage(const QImage &image, const QPoint &hotSpot)
{
    if (!m_x->display)
        return;
    Display *d = m_x->display;
    Cursor cursor = 0;
    XRenderPictFormat *argb = XRenderFindStandardFormat(d, PictStandardARGB32);
    if (!image.isNull() && argb) {
        QImage pixels = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
        const unsigned int w = unsigned(pixels.width()), h = unsigned(pixels.height());
        Pixmap pixmap = XCreatePixmap(d, DefaultRootWindow(d), w, h, 32);
        XImage *ximage = XCreateImage(d, nullptr, 32, ZPixmap, 0, reinterpret_cast<char *>(pixels.bits()), w, h, 32,
                                      int(pixels.bytesPerLine()));
        GC gc = XCreateGC(d, pixmap, 0, nullptr);
        XPutImage(d, pixmap, gc, ximage, 0, 0, 0, 0, w, h);
        XFreeGC(d, gc);
        ximage->data = nullptr; // the pixels belong to the QImage
        XDestroyImage(ximage);
        const Picture picture = XRenderCreatePicture(d, pixmap, argb, 0, nullptr);
        cursor = XRenderCreateCursor(d, picture, unsigned(hotSpot.x()), unsigned(hotSpot.y()));
        XRenderFreePicture(d, picture);
        XFreePixmap(d, pixmap);
    }
    if (!cursor)
        cursor = XCreateFontCursor(d, XC_left_ptr);
    XDefineCursor(d, m_x->window, cursor);
    if (m_x->cursor)
        XFreeCursor(d, m_x->cursor);
    m_x->cursor = cursor;
    XFlush(d);
}

void InputCover::readEvents()
{
    Display *d = m_x->display;
    while (XPending(d)) {
        XEvent event;
        XNextEvent(d, &event);
        switch (event.type) {
        case ButtonPress:
        case ButtonRelease:
            deliver(event.type, event.xbutton.x, event.xbutton.y, event.xbutton.button, event.xbutton.state);
            break;
        case MotionNotify:
            deliver(event.type, event.xmotion.x, event.xmotion.y, 0, event.xmotion.state);
            break;
        default:
            break;
        }
    }
}

// The state an X event carries is the one before it; Qt's buttons are those
// held after it.
void InputCover::deliver(int type, int x, int y, unsigned int button, unsigned int state)
{
    const double factor = mf::DevicePixels::factor(mf::DevicePixels::screenOf(covered->geometry()));
    const QPointF local(x / factor, y / factor);
    const QPointF global = QPointF(covered->mapToGlobal(QPoint(0, 0))) + local;
    Qt::MouseButtons buttons = qtButtons(state);
    QEvent::Type qtType = QEvent::MouseMove;
    if (type == ButtonPress) {
        qtType = QEvent::MouseButtonPress;
        buttons |= qtButton(button);
    } else if (type == ButtonRelease) {
        qtType = QEvent::MouseButtonRelease;
        buttons &= ~Qt::MouseButtons(qtButton(button));
    }
    const Qt::MouseButton which = type == MotionNotify ? Qt::NoButton : qtButton(button);
    if (type != MotionNotify && which == Qt::NoButton)
        return; // wheel steps
    QMouseEvent mouse(qtType, local, local, global, which, buttons, QGuiApplication::keyboardModifiers(),
                      Qt::MouseEventSynthesizedByApplication);
    QApplication::sendEvent(covered, &mouse);
}
