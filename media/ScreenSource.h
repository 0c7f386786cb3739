#pragma once
#include "media/DeviceSelection.h"
#include "media/engine/MFFrame.h"

#include <QList>
#include <QRect>
#include <QSize>
#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

// The picture shown where no source has one yet (the engine's colour frame).
inline const QString kBackgroundFrame = QStringLiteral("solid_color='#07a0f2(255)'");

// Captures a display, an area of it or one window into a short queue from
// which the mixer takes a frame per turn without waiting.
class ScreenSource : public QThread
{
    Q_OBJECT
public:
    static constexpr int kQueueLimit = 11;

    explicit ScreenSource(QObject *parent = nullptr);
    ~ScreenSource() override;

    void start(const QSize &outputSize);
    void stop();
    void setArea(int screenIndex, const QRect &rect);
    // While held nothing of the desktop is handed out (the mixer shows its
    // background), and what is grabbed meanwhile is dropped; what was
    // grabbed before may be of an area nobody chose (at start-up, the whole
    // display) and is dropped too. Releasing it lets only pictures through
    // whose grab began after the release, so none of an area set before it
    // can slip out.
    void hold(bool on);
    bool isHeld() const { return held; }
    // A queued frame, else a copy of the last one handed out, else null.
    mf::MFFramePtr getFrame();

    bool isActive() const { return active; }
    // Grabbing runs only while someone shows the screen: a layout with the
    // screen in it, or a listener to the mixer's screen frames.
    void setWanted(bool on);
    bool isWanted() const { return wanted; }
    // Screen pictures grabbed since the program started.
    quint64 grabCount() const { return grabs; }
    MFDevicePtr device() const { return deviceObject; }
    QSize currentOutputSize() const;
    int queuedFrames();
    // Adds a captured frame as the capture loop does (bound included).
    void enqueue(const mf::MFFramePtr &frame);

public slots:
    void setHandle(quint64 handle);

protected:
    void run() override;

private:
    void captureLoop();
    mf::MFFramePtr captureWindow(quint64 window, const QSize &size, const mf::MFFormat &format);

    // The capture thread's waits end early when stop(), setWanted() or
    // setHandle() changed what they wait for.
    template<typename Predicate>
    void waitAtMost(std::chrono::milliseconds limit, Predicate done);
    void wakeCapture();

    std::atomic<bool> active{false};
    std::atomic<bool> wanted{true};
    std::atomic<bool> held{false};
    // Counts the area changes and releases; a grab that saw another count
    // when it began is of an area no longer wanted.
    std::atomic<quint64> areaSerial{0};
    std::atomic<quint64> grabs{0};
    MFDevicePtr deviceObject;
    std::atomic<quint64> outputSize; // width << 32 | height, one value for both
    std::atomic<bool> running{false};
    std::mutex queueMutex;
    QList<mf::MFFramePtr> frameQueue;
    std::atomic<quint64> windowHandle{0};
    mf::MFFramePtr lastFrame;
    std::mutex wakeMutex;
    std::condition_variable wakeUp;
};
