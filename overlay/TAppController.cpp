#include "overlay/TAppController.h"

#include <QByteArray>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

namespace {

struct DisplayCloser
{
    void operator()(Display *d) const { XCloseDisplay(d); }
};
using DisplayPtr = std::unique_ptr<Display, DisplayCloser>;

struct XFreer
{
    void operator()(void *p) const
    {
        if (p)
            XFree(p);
    }
};

// A window that vanished between listing and asking raises BadWindow; that
// window is just skipped.
int ignoreErrors(Display *, XErrorEvent *)
{
    return 0;
}

class ErrorsIgnored
{
public:
    explicit ErrorsIgnored(Display *d) : m_display(d), m_previous(XSetErrorHandler(ignoreErrors)) {}
    ~ErrorsIgnored()
    {
        XSync(m_display, False);
        XSetErrorHandler(m_previous);
    }

private:
    Display *m_display;
    int (*m_previous)(Display *, XErrorEvent *);
};

// The property's items, in the item size the server reports (32-bit items
// arrive as longs).
QByteArray property(Display *d, Window w, Atom name, Atom type, int *format = nullptr, unsigned long *count = nullptr)
{
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(d, w, name, 0, 1 << 20, False, type, &actualType, &actualFormat, &items, &after, &data)
            != Success
        || !data)
        return {};
    std::unique_ptr<unsigned char, XFreer> owned(data);
    if (actualType == None)
        return {};
    const int itemBytes = actualFormat == 32 ? int(sizeof(long)) : actualFormat / 8;
    if (format)
        *format = actualFormat;
    if (count)
        *count = items;
    return QByteArray(reinterpret_cast<const char *>(data), int(items) * itemBytes);
}

QList<Window> clientList(Display *d)
{
    QList<Window> windows;
    const Window root = DefaultRootWindow(d);
    unsigned long count = 0;
    const QByteArray list = property(d, root, XInternAtom(d, "_NET_CLIENT_LIST", False), XA_WINDOW, nullptr, &count);
    if (count > 0) {
        const long *items = reinterpret_cast<const long *>(list.constData());
        for (unsigned long i = 0; i < count; ++i)
            windows.append(Window(items[i]));
        return windows;
    }
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned int n = 0;
    if (XQueryTree(d, root, &rootReturn, &parent, &children, &n) && children) {
        for (unsigned int i = 0; i < n; ++i)
            windows.append(children[i]);
        XFree(children);
    }
    return windows;
}

QString title(Display *d, Window w)
{
    const QByteArray utf8 =
        property(d, w, XInternAtom(d, "_NET_WM_NAME", False), XInternAtom(d, "UTF8_STRING", False));
    QString text = QString::fromUtf8(utf8);
    if (text.isEmpty()) {
        // WM_NAME is Latin-1 (STRING) or compound text; the usual case is the former.
        text = QString::fromLatin1(property(d, w, XA_WM_NAME, AnyPropertyType));
    }
    return text.left(TAppController::kTitleLimit);
}

bool hasNetState(Display *d, Window w, const char *state)
{
    unsigned long count = 0;
    const QByteArray states = property(d, w, XInternAtom(d, "_NET_WM_STATE", False), XA_ATOM, nullptr, &count);
    const Atom wanted = XInternAtom(d, state, False);
    const long *items = reinterpret_cast<const long *>(states.constData());
    for (unsigned long i = 0; i < count; ++i)
        if (Atom(items[i]) == wanted)
            return true;
    return false;
}

bool iconic(Display *d, Window w)
{
    const Atom wmState = XInternAtom(d, "WM_STATE", False);
    unsigned long count = 0;
    const QByteArray state = property(d, w, wmState, wmState, nullptr, &count);
    if (count >= 1 && reinterpret_cast<const long *>(state.constData())[0] == IconicState)
        return true;
    return hasNetState(d, w, "_NET_WM_STATE_HIDDEN");
}

// Shown, or iconified by the window manager: both are windows the user has
// open (an iconified window is restored when chosen).
bool isOpen(Display *d, Window w)
{
    XWindowAttributes attributes;
    if (!XGetWindowAttributes(d, w, &attributes))
        return false;
    if (attributes.c_class == InputOnly)
        return false;
    return attributes.map_state == IsViewable || iconic(d, w);
}

} // namespace

QList<WindowInfo> TAppController::windowList;

TAppController::TAppController(QObject *parent) : QObject(parent) {}

QList<WindowInfo> TAppController::getWindows()
{
    windowList.clear();
    DisplayPtr display(XOpenDisplay(nullptr));
    if (!display)
        return windowList;
    Display *d = display.get();
    const ErrorsIgnored guard(d);
    for (const Window w : clientList(d)) {
        if (!isOpen(d, w))
            continue;
        const QString text = title(d, w);
        if (text.isEmpty())
            continue;
        windowList.append(WindowInfo{quint64(w), text});
    }
    return windowList;
}

bool TAppController::isIconic(quint64 handle)
{
    DisplayPtr display(XOpenDisplay(nullptr));
    if (!display || handle == 0)
        return false;
    const ErrorsIgnored guard(display.get());
    return iconic(display.get(), Window(handle));
}

void TAppController::restore(quint64 handle)
{
    DisplayPtr display(XOpenDisplay(nullptr));
    if (!display || handle == 0)
        return;
    Display *d = display.get();
    const ErrorsIgnored guard(d);
    const Window w = Window(handle);
    XMapRaised(d, w);
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = w;
    event.xclient.message_type = XInternAtom(d, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2; // from a pager: the user asked for it
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(d);
}
