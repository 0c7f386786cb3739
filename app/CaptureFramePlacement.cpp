#include "app/CaptureFramePlacement.h"

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

QPair<int, int> CaptureFramePlacement::displayOfRect(const QList<int> &displayLefts, const QRect &rect)
{
    QList<int> lefts = displayLefts;
    std::sort(lefts.begin(), lefts.end());
    QPair<int, int> result(0, 0);
    if (lefts.size() < 2)
        return result;
    for (int i = 0; i < lefts.size(); ++i) {
        if (lefts.at(i) <= rect.left())
            result = qMakePair(i, lefts.at(i));
    }
    return result;
}

void CaptureFramePlacement::frameMoved(const QRect &frameRect)
{
    // Shown but not placed yet: its rectangle follows with the placement,
    // and the whole display that a null area stands for must not go out.
    if (frameRect.isNull())
        return;
    // The screen source works in the X screen's pixels, not in Qt's.
    const QRect rect = mf::DevicePixels::toDevice(frameRect);
    QList<int> lefts;
    const auto screens = QGuiApplication::screens();
    for (const QScreen *screen : screens)
        lefts.append(mf::DevicePixels::screenGeometry(screen).left());
    const QPair<int, int> display = displayOfRect(lefts, rect);
    QRect area = rect;
    if (display.first != 0)
        area.translate(-display.second, 0);
    if (display.first == m_frame->screenIndex)
        m_mixer->setArea(display.first, area);
    else
        m_frame->selectScreen(display.first);
}
