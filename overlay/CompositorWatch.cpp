#include "overlay/CompositorWatch.h"

#include <QByteArray>

#include <X11/Xlib.h>

struct CompositorWatch::Connection
{
    Display *display = nullptr;
    Atom selection = None;
    ~Connection()
    {
        if (display)
            XCloseDisplay(display);
    }
};

CompositorWatch::CompositorWatch(QObject *parent, int intervalMs)
    : QObject(parent), m_x(std::make_unique<Connection>())
{
    // A connection of its own: the platform's is not ours to read from.
    m_x->display = XOpenDisplay(nullptr);
    if (m_x->display) {
        const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(m_x->display));
        m_x->selection = XInternAtom(m_x->display, name.constData(), False);
    }
    m_composited = check();
    connect(&m_timer, &QTimer::timeout, this, [this] {
        const bool now = check();
        if (now == m_composited)
            return;
        m_composited = now;
        emit compositedChanged(now);
    });
    if (m_x->display)
        m_timer.start(intervalMs);
}

CompositorWatch::~CompositorWatch() = default;

bool CompositorWatch::check()
{
    if (!m_x->display || m_x->selection == None)
        return false;
    return XGetSelectionOwner(m_x->display, m_x->selection) != None;
}
