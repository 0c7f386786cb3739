#include "media/ScreenSource.h"

#include "diagnostics/HappensBefore.h"
#include "media/engine/MFFactory.h"
#include "media/engine/MFFit.h"

#include <QDebug>

namespace {

// One frame interval at the 25 frames per second the screen is grabbed at.
constexpr std::chrono::milliseconds kGrabInterval(40);
// A capture turn lasts about one frame interval; longer means it hangs.
constexpr int kThreadEndMs = 3000;

quint64 pack(const QSize &s) { return (quint64(quint32(s.width())) << 32) | quint32(s.height()); }
QSize unpack(quint64 v) { return QSize(int(v >> 32), int(v & 0xFFFFFFFFu)); }

} // namespace

ScreenSource::ScreenSource(QObject *parent) : QThread(parent), outputSize(pack(QSize(1280, 720)))
{
    deviceObject = std::make_shared<mf::MFDevice>();
    if (!deviceObject) {
        qCritical().noquote() << Q_FUNC_INFO << "ERROR: Can't create media SDK instance";
        return;
    }
    setMFDevice(deviceObject, mf::eMFDeviceType::Video, mf::MFDevice::kScreenCapture);
    setMFDevice(deviceObject, mf::eMFDeviceType::VideoAudio, mf::MFDevice::kNoAudio);
    deviceObject->propertySet("capture.highlight_mouse", "hide");
    deviceObject->propertySet("capture.show_clicks", "false");
    deviceObject->propertySet("capture.fps_limit", "25");
}

ScreenSource::~ScreenSource()
{
    stop();
    if (!wait(kThreadEndMs))
        qWarning() << "ScreenSource: capture thread still running at destruction";
    else
        HappensBefore::acquire(this);
}

void ScreenSource::start(const QSize &size)
{
    outputSize = pack(size);
    // A thread still finishing its last turn after stop() would make
    // QThread::start a no-op and leave capture off; let it end first.
    if (isRunning() && !running)
        wait(kThreadEndMs);
    // Switched on here rather than by the thread: a stop() right after this
    // start must not be undone by a thread that gets going only later.
    active = true;
    running = true;
    if (!isRunning()) {
        HappensBefore::acquire(this); // the last turn's writes come before the next one
        QThread::start(QThread::InheritPriority);
    }
}

void ScreenSource::stop()
{
    active = false;
    running = false;
    wakeCapture();
}

QSize ScreenSource::currentOutputSize() const { return unpack(outputSize); }

void ScreenSource::setHandle(quint64 handle)
{
    windowHandle = handle;
    wakeCapture();
}

// The lock taken between the change and the notification: a waiter that
// found its predicate false is then already waiting, and hears it.
void ScreenSource::wakeCapture()
{
    { std::lock_guard<std::mutex> lock(wakeMutex); }
    wakeUp.notify_all();
}

template<typename Predicate>
void ScreenSource::waitAtMost(std::chrono::milliseconds limit, Predicate done)
{
    std::unique_lock<std::mutex> lock(wakeMutex);
    wakeUp.wait_for(lock, limit, done);
}

void ScreenSource::setArea(int screenIndex, const QRect &rect)
{
    if (!deviceObject)
        return;
    deviceObject->propertySet("capture.highlight_mouse", "hide");
    deviceObject->propertySet("capture.screen_index", QString::number(screenIndex));
    deviceObject->propertySet("capture.memory_format", "ARGB");
    if (rect.width() <= 0 || rect.height() <= 0) {
        deviceObject->propertySet("capture.area", "");
        deviceObject->propertySet("capture.frame_size", "screen");
    } else {
        const QString area =
            QStringLiteral("%1,%2,%3,%4").arg(rect.left()).arg(rect.top()).arg(rect.right()).arg(rect.bottom());
        const QSize size = currentOutputSize();
        deviceObject->propertySet("capture.area", area);
        deviceObject->propertySet("capture.frame_size", QStringLiteral("%1x%2").arg(size.width()).arg(size.height()));
        qDebug() << "SET AREA:" << area << QStringLiteral("%1x%2").arg(rect.width()).arg(rect.height()) << screenIndex;
    }
    deviceObject->propertySet("capture.background_color", QStringLiteral("#07a0f2") + "(1)");
    ++areaSerial;
}

void ScreenSource::hold(bool on)
{
    held = on;
    ++areaSerial;
    std::lock_guard<std::mutex> lock(queueMutex);
    frameQueue.clear();
    if (on)
        lastFrame.reset();
}

void ScreenSource::setWanted(bool on)
{
    if (wanted.exchange(on) == on)
        return;
    if (on)
        return wakeCapture();
    // What was grabbed before would show up stale when the screen comes back.
    std::lock_guard<std::mutex> lock(queueMutex);
    frameQueue.clear();
    lastFrame.reset();
}

mf::MFFramePtr ScreenSource::getFrame()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    if (held || frameQueue.isEmpty())
        return lastFrame ? lastFrame->copy() : nullptr;
    mf::MFFramePtr frame = frameQueue.takeFirst();
    lastFrame = frame->copy();
    return frame;
}

int ScreenSource::queuedFrames()
{
    std::lock_guard<std::mutex> lock(queueMutex);
    return frameQueue.size();
}

void ScreenSource::enqueue(const mf::MFFramePtr &frame)
{
    std::lock_guard<std::mutex> lock(queueMutex);
    if (frameQueue.size() >= kQueueLimit)
        frameQueue.clear(); // the mixer fell behind: keep the delay short
    frameQueue.append(frame);
}

mf::MFFramePtr ScreenSource::captureWindow(quint64 window, const QSize &size, const mf::MFFormat &format)
{
    deviceObject->propertySet("capture.window_id", QString::number(window));
    mf::MFFramePtr background = mf::MFFactory::create(format, kBackgroundFrame);
    mf::MFFramePtr picture;
    if (!background || deviceObject->getFrame(mf::MFFormat(), -1, &picture) < 0 || !picture)
        return nullptr;
    const QRectF place = mf::MFFit::placement(picture->width(), picture->height(), size.width(), size.height());
    if (!background->overlay(*picture, place.x(), place.y(), place.width(), place.height(), 1.0, QString()))
        return nullptr;
    return background;
}

void ScreenSource::run()
{
    if (deviceObject)
        captureLoop();
    HappensBefore::release(this);
}

void ScreenSource::captureLoop()
{
    mf::MFFormat format;
    quint64 lostWindow = 0; // the window whose loss was last reported
    bool failing = false;
    while (running) {
        if (!wanted) {
            std::unique_lock<std::mutex> lock(wakeMutex);
            wakeUp.wait(lock, [this] { return !running || wanted; });
        }
        if (!running)
            break;
        const QSize size = currentOutputSize();
        format.width = size.width();
        format.height = size.height();
        mf::MFFramePtr frame;
        const quint64 serial = areaSerial;
        if (const quint64 window = windowHandle) {
            frame = captureWindow(window, size, format);
            if (!frame) {
                // Closed or unmapped: the mixer keeps showing the last
                // picture; say so once, not at every attempt.
                if (lostWindow != window)
                    qDebug() << "read screen frame FALSE: window" << window << "cannot be captured";
                lostWindow = window;
                // An unmapped window opens but gives no picture; try again
                // at the frame rate rather than at once, or at another window.
                waitAtMost(kGrabInterval, [this, window] { return !running || windowHandle != window; });
                continue;
            }
            lostWindow = 0;
        } else {
            deviceObject->propertySet("capture.window_id", "0");
            if (deviceObject->getFrame(format, -1, &frame) < 0)
                frame = nullptr;
        }
        ++grabs;
        if (!frame) {
            // The portal's stream gives nothing until the user has answered
            // its dialog: one line per streak, not one per frame interval.
            if (!failing)
                qDebug() << "read screen frame FALSE: ";
            failing = true;
            continue;
        }
        failing = false;
        if (wanted && !held && serial == areaSerial)
            enqueue(frame);
    }
}
