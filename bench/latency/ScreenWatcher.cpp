#include "ScreenWatcher.h"

#include "StageStamps.h"

#include "media/engine/MFTestPatternSource.h"

#include <QByteArray>
#include <QImage>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <memory>

namespace {

struct DisplayCloser
{
    void operator()(Display *display) const { XCloseDisplay(display); }
};

struct ImageDestroyer
{
    void operator()(XImage *image) const { XDestroyImage(image); }
};

// The fetched row as a picture one pixel high.
QImage rowPicture(XImage *row)
{
    QImage picture(row->width, 1, QImage::Format_RGB32);
    auto *out = reinterpret_cast<QRgb *>(picture.scanLine(0));
    for (int x = 0; x < row->width; ++x) {
        const unsigned long pixel = XGetPixel(row, x, 0);
        out[x] = qRgb(int((pixel >> 16) & 0xff), int((pixel >> 8) & 0xff), int(pixel & 0xff));
    }
    return picture;
}

} // namespace

const char *ScreenWatcher::desktopKind()
{
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display)
        return "no display";
    // A compositing manager owns this selection of its screen.
    const QByteArray name = "_NET_WM_CM_S" + QByteArray::number(DefaultScreen(display.get()));
    const Atom selection = XInternAtom(display.get(), name.constData(), False);
    return XGetSelectionOwner(display.get(), selection) != None ? "composited" : "not composited";
}

ScreenWatcher::ScreenWatcher(const QRect &area, StageStamps &stamps) : m_area(area), m_stamps(stamps)
{
    m_thread = std::thread([this] { run(); });
}

ScreenWatcher::~ScreenWatcher()
{
    m_stop = true;
    m_thread.join();
}

void ScreenWatcher::run()
{
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display || m_area.isEmpty())
        return;
    const Window root = DefaultRootWindow(display.get());
    // The code's blocks lie on the row one block below the picture's top
    // (a block is a 40th of the width); the decoder is given an area whose
    // top is one block above the fetched row.
    const int block = m_area.width() / 40;
    const int rowY = m_area.top() + block;
    const QRect decodeArea(0, -block, m_area.width(), m_area.height());
    qint64 lastShown = -1;
    const auto first = std::chrono::steady_clock::now();
    for (qint64 fetches = 1; !m_stop; ++fetches) {
        const auto start = std::chrono::steady_clock::now();
        const qint64 startMs = StageStamps::nowMs();
        std::unique_ptr<XImage, ImageDestroyer> row(
            XGetImage(display.get(), root, m_area.left(), rowY, unsigned(m_area.width()), 1, AllPlanes, ZPixmap));
        quint32 low = 0;
        if (row && mf::MFTestPatternSource::decodeTime(rowPicture(row.get()), decodeArea, &low)) {
            const qint64 captured = mf::MFTestPatternSource::expandTime(low, startMs);
            if (captured != lastShown) {
                lastShown = captured;
                m_stamps.stamp(StageStamps::Shown, captured, startMs);
                ++m_shown;
            }
        }
        m_intervalMs = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - first).count() / fetches;
        std::this_thread::sleep_until(start + std::chrono::microseconds(1000));
    }
}
