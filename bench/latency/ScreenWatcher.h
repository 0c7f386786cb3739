#pragma once
#include <QRect>

#include <atomic>
#include <thread>

class StageStamps;

// Reads the Test Pattern's time code off the screen itself: a thread with its
// own X connection fetches, about every millisecond, the one row of the
// display that crosses the code's blocks in an area of the root window, and
// stamps "shown" when a new capture time appears there. A picture counts as
// shown at the start of the fetch that first saw it, so the stamp is late by
// at most the time between two fetches, which is printed.
class ScreenWatcher
{
public:
    // area: where on the root window the picture is shown, in device pixels.
    ScreenWatcher(const QRect &area, StageStamps &stamps);
    ~ScreenWatcher();
    ScreenWatcher(const ScreenWatcher &) = delete;
    ScreenWatcher &operator=(const ScreenWatcher &) = delete;

    // "composited" while a compositing manager runs on the display, else "not composited".
    static const char *desktopKind();

    int shownCount() const { return m_shown; }
    // The mean time between the starts of two fetches, in milliseconds.
    double fetchIntervalMs() const { return m_intervalMs; }

private:
    void run();

    QRect m_area;
    StageStamps &m_stamps;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_shown{0};
    std::atomic<double> m_intervalMs{0};
    std::thread m_thread;
};
