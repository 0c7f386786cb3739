#include "app/window/CaptureFramePlacement.h"

#include "media/Mixer.h"
#include "media/engine/DevicePixels.h"
#include "overlay/WCapture.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

CaptureFramePlacement::CaptureFramePlacement(WCapture *frame, Mixer *mixer, QObject *parent)
    : QObject(parent), m_frame(frame), m_mixer(mixer)
{
    connect(frame, &WCapture::onNewPosition, this, &CaptureFramePlacement::frameMoved);
    // Until the frame stands at its real place the area set for it is a
    // guess: nothing new of the desktop goes out meanwhile.
    connect(frame, &WCapture::placementChanged, this,
            [this](bool placed) { m_mixer->holdScreen(m_frame->isVisible() && !placed); });
}

int CaptureFramePlacement::displayOfRect(const QList<QRect> &displays, const QRect &rect)
{
    if (displays.size() < 2)
        return 0;
    QList<int> byLeft;
    for (int i = 0; i < displays.size(); ++i)
        byLeft.append(i);
    std::stable_sort(byLeft.begin(), byLeft.end(),
                     [&](int a, int b) { return displays.at(a).left() < displays.at(b).left(); });
    int chosen = byLeft.first();
    for (const int i : byLeft) {
        if (displays.at(i).left() <= rect.left())
            chosen = i;
    }
    return chosen;
}

void CaptureFramePlacement::frameMoved(const QRect &frameRect)
{
    // Shown but not placed yet: its rectangle follows with the placement,
    // and the whole display that a null area stands for must not go out.
    if (frameRect.isNull())
        return;
    // The screen source works in the X screen's pixels, not in Qt's.
    const QRect rect = mf::DevicePixels::toDevice(frameRect);
    QList<QRect> displays;
    const auto screens = QGuiApplication::screens();
    for (const QScreen *screen : screens)
        displays.append(mf::DevicePixels::screenGeometry(screen));
    const int display = displayOfRect(displays, rect);
    // The screen source takes the area from its display's corner.
    const QRect area = displays.isEmpty() ? rect : rect.translated(-displays.at(display).topLeft());
    if (display == m_frame->screenIndex)
        m_mixer->setArea(display, area);
    else
        m_frame->selectScreen(display);
}
