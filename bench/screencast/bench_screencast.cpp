// CPU time per captured picture and the capture-to-mixer delay of the
// desktop portal's stream against x11grab of the same 1280x720 monitor
// (XWayland's screen), read the way the screen source reads, at 25 pictures
// a second, while a window keeps changing all of its pixels.
#include "media/engine/MFDevice.h"
#include "media/engine/MFScreenCastEvents.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPainter>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

namespace {

double processCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

class Changing : public QWidget
{
public:
    Changing()
    {
        setWindowTitle("orvanta-left");
        connect(&m_timer, &QTimer::timeout, this, [this] {
            ++m_tick;
            update();
        });
        m_timer.start(20);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(rect(), QColor::fromHsv((m_tick * 7) % 360, 200, 220));
    }

private:
    QTimer m_timer;
    int m_tick = 0;
};

struct Figures
{
    double cpuMsPerPicture = 0;
    double medianDelayMs = 0;
    int pictures = 0;
};

void setDevice(mf::MFDevice &device)
{
    int count = 0;
    device.deviceGetCount(mf::eMFDeviceType::Video, &count);
    for (int i = 0; i < count; ++i) {
        QString name;
        if (device.deviceGetName(mf::eMFDeviceType::Video, i, &name) >= 0 && name == mf::MFDevice::kScreenCapture)
            device.deviceSet(mf::eMFDeviceType::Video, i);
    }
}

// Reads on a thread of its own, as the screen source does.
Figures measure(const char *backend, int frames)
{
    qputenv("ORVANTA_SCREEN_CAPTURE", backend);
    Figures f;
    std::atomic<bool> done{false};
    std::vector<double> delays;
    double cpu = 0;
    std::unique_ptr<QThread> reader(QThread::create([&] {
        mf::MFDevice device;
        setDevice(device);
        device.propertySet("capture.fps_limit", "25");
        device.propertySet("capture.highlight_mouse", "hide");
        mf::MFFormat format;
        format.width = 1280;
        format.height = 720;
        // Until the portal's stream delivers (bounded).
        mf::MFFramePtr frame;
        QElapsedTimer warm;
        warm.start();
        while (warm.elapsed() < 15000 && (device.getFrame(format, -1, &frame) < 0 || !frame)) {
        }
        const double cpuStart = processCpuMs();
        for (int i = 0; i < frames; ++i) {
            if (device.getFrame(format, -1, &frame) < 0 || !frame)
                continue;
            ++f.pictures;
            delays.push_back((QDateTime::currentMSecsSinceEpoch() * 1000 - frame->timestampUs()) / 1000.0);
        }
        cpu = processCpuMs() - cpuStart;
        done = true;
    }));
    reader->start();
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    reader->wait();
    if (f.pictures > 0) {
        f.cpuMsPerPicture = cpu / f.pictures;
        std::sort(delays.begin(), delays.end());
        f.medianDelayMs = delays[delays.size() / 2];
    }
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    const int frames = argc > 1 ? qMax(10, atoi(argv[1])) : 250;
    Changing window;
    window.resize(400, 400);
    window.show();
    const Figures x11 = measure("x11", frames);
    const Figures portal = measure("portal", frames);
    std::printf("screencast: x11grab  %d pictures, %.2f ms CPU per picture, capture-to-mixer delay %.1f ms (median)\n",
                x11.pictures, x11.cpuMsPerPicture, x11.medianDelayMs);
    std::printf("screencast: portal   %d pictures, %.2f ms CPU per picture, capture-to-mixer delay %.1f ms (median)\n",
                portal.pictures, portal.cpuMsPerPicture, portal.medianDelayMs);
    if (x11.cpuMsPerPicture > 0)
        std::printf("screencast: CPU per picture portal/x11grab = %.2f\n", portal.cpuMsPerPicture / x11.cpuMsPerPicture);
    // x11grab stamps a picture when it reads it, so its delay is near zero by
    // construction; the portal's is the age of the newest picture when the
    // mixer takes it. Both against the 40 ms frame interval:
    std::printf("screencast: delay per frame interval x11grab = %.2f, portal = %.2f\n", x11.medianDelayMs / 40.0,
                portal.medianDelayMs / 40.0);
    return (x11.pictures > 0 && portal.pictures > 0) ? 0 : 1;
}

