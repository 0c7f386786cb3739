#include "media/Mixer.h"

#include "diagnostics/HappensBefore.h"
#include "media/ScreenSource.h"
#include "media/engine/MFFactory.h"
#include "media/engine/MFFit.h"
#include "media/engine/MFPreview.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMetaMethod>

namespace {

const QString kWithSound = QStringLiteral("audio_gain=0");
const QString kSilenced = QStringLiteral("audio_gain=-100");

// The stop's wait checks whether the loop has ended this often.
constexpr unsigned long kStopPollMs = 100;

// The pace the device is read at, which paces the loops.
constexpr double kFrameRate = 25.0;
// The format field every composed frame carries.
constexpr int kComposedField = 3;
// Smart mute hears every this many device frames' sound level.
constexpr int kLevelEveryFrames = 9;
// The camera inset: its width and its margin from the left and the bottom
// edge as shares of the output's width; it stands this share of the margin
// above the bottom edge.
constexpr double kInsetWidthShare = 0.156;
constexpr double kInsetMarginShare = 0.0335;
constexpr double kInsetBottomShare = 0.8;

// Names the source lists never show: the sound lists' entries for no device
// and the screen, which has a menu of its own, as the engine names them; and
// two names no device of this engine carries, hidden should one be called so.
bool isHiddenDevice(const QString &name)
{
    static const QStringList names = {"", mf::MFDevice::kNone, "NDI Receiver", mf::MFDevice::kNoExternalAudio,
                                      mf::MFDevice::kScreenCapture, "Web Page Capture"};
    return names.contains(name);
}

} // namespace

Mixer::Mixer(QObject *parent) : QThread(parent)
{
    qRegisterMetaType<mf::MFFramePtr>("mf::MFFramePtr");
    QRect none;
    none.setCoords(0, 0, 0, 0);
    m_cropRect = none;
    deviceObject = std::make_shared<mf::MFDevice>();
    if (!deviceObject) {
        qCritical().noquote() << Q_FUNC_INFO << "ERROR: Can't create media SDK instance";
        return;
    }
    m_screenSource = std::make_unique<ScreenSource>();
    connect(this, &Mixer::handleChanged, m_screenSource.get(), &ScreenSource::setHandle);
    running = false;
    writing = false;
}

Mixer::~Mixer()
{
    stopAndWait(kStopTimeoutMs);
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    m_preview.reset();
    m_activeWriter.reset();
}

bool Mixer::start(quint64 window, int mode, const QSize &size)
{
    if (!hasEnded()) {
        // The previous loop did not end in time (see stopAndWait): it keeps its
        // mode and size, which it is still reading, and just goes on running.
        qWarning() << "-- mixer still running; keeping mode" << m_mode << "and size" << m_outputSize;
        setPreviewWindow(window);
        running.exchange(true);
        return true;
    }
    m_previewWindow = window;
    m_mode = mode;
    m_outputSize = size;
    screenShown();  // a camera-only start grabs nothing at all
    if (m_screenSource)
        m_screenSource->start(size);
    running.exchange(true);
    QThread::start(QThread::InheritPriority);
    return true;
}

void Mixer::stop()
{
    if (m_screenSource)
        m_screenSource->stop();
    running.exchange(false);
}

bool Mixer::stopAndWait(int timeoutMs)
{
    if (hasEnded())
        return true;
    stop();
    QElapsedTimer clock;
    clock.start();
    while (!hasEnded()) {
        if (clock.elapsed() >= timeoutMs) {
            qWarning() << "-- mixer thread did not end within" << timeoutMs << "ms; going on";
            return false;
        }
        QThread::msleep(kStopPollMs);
    }
    return true;
}

// Qt tells that the loop is over; what the loop wrote is ours from then on.
bool Mixer::hasEnded() const
{
    if (isRunning())
        return false;
    HappensBefore::acquire(this);
    return true;
}

bool Mixer::restart(quint64 window, bool twoFrames, const QSize &size, int timeoutMs)
{
    stopAndWait(timeoutMs);
    const int mode = twoFrames ? Picture::TwoFrames : Picture::SingleFrame;
    qDebug() << "-- START MIXER" << mode << size;
    return start(window, mode, size);
}

void Mixer::setPreviewWindow(quint64 handle)
{
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    if (m_preview)
        m_preview->attach(handle);
    m_previewWindow = handle;
}

void Mixer::setArea(int screenIndex, const QRect &rect)
{
    if (m_screenSource)
        m_screenSource->setArea(screenIndex, rect);
}

void Mixer::holdScreen(bool on)
{
    if (m_screenSource)
        m_screenSource->hold(on);
}

void Mixer::setActiveWriter(std::shared_ptr<mf::MFFrameSink> writer)
{
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    m_activeWriter = std::move(writer);
}

std::shared_ptr<mf::MFFrameSink> Mixer::activeWriter() const
{
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    return m_activeWriter;
}

void Mixer::cropRectChanged(QRect rect)
{
    std::lock_guard<std::mutex> lock(m_cropMutex);
    m_cropRect = rect;
}

QRect Mixer::cropRect() const
{
    std::lock_guard<std::mutex> lock(m_cropMutex);
    return m_cropRect;
}

bool Mixer::setVideoDevice(const QString &name)
{
    const bool ok = setMFDevice(deviceObject, mf::eMFDeviceType::Video, name);
    qDebug() << "setVideoDevice:" << name << ok;
    return ok;
}

bool Mixer::setAudioDevice(QString name)
{
    if (name == QLatin1String("NO_AUDIO"))
        name = QStringLiteral("<None>");
    const bool internal = setMFDevice(deviceObject, mf::eMFDeviceType::VideoAudio, "<No Audio>");
    qDebug() << "set Internal AudioDevice to None:" << internal;
    const bool ok = setMFDevice(deviceObject, mf::eMFDeviceType::Audio, name);
    qDebug() << "set External AudioDevices:" << name << ok;
    return ok;
}

void Mixer::setSystemSound(bool on)
{
    if (on) {
        const bool ok = setMFDevice(deviceObject, mf::eMFDeviceType::Audio2, "PC Sounds (Loopback)");
        qDebug() << "-- add PC Sounds:" << ok;
    } else {
        const bool ok = setMFDevice(deviceObject, mf::eMFDeviceType::Audio2, "<No External Audio>");
        qDebug() << "-- remove PC Sounds:" << ok;
    }
}

void Mixer::setSoundProcessing(mf::SoundProcessing processing)
{
    qDebug() << "-- sound processing: echo cancellation" << processing.echoCancellation << "noise suppression"
             << processing.noiseSuppression;
    deviceObject->setSoundProcessing(processing);
}

bool Mixer::setScreenDevice(const QString &name, int screenIndex)
{
    if (!m_screenSource)
        return false;
    const bool ok = setMFDevice(m_screenSource->device(), mf::eMFDeviceType::Video, name);
    if (screenIndex > -1) {
        m_screenSource->device()->propertySet("capture.screen_index", QString::number(screenIndex));
        qDebug() << "SCREEN INDEX:" << screenIndex;
    }
    return ok;
}

void Mixer::enumerateDevices(const QString &kind, QStringList &list)
{
    auto device = std::make_shared<mf::MFDevice>();
    if (!device) {
        qCritical().noquote() << Q_FUNC_INFO << "ERROR: Can't create media SDK instance";
        return;
    }
    list.clear();
    const mf::eMFDeviceType type = kind == QLatin1String("VIDEO") ? mf::eMFDeviceType::Video : mf::eMFDeviceType::Audio;
    int count = 0;
    if (device->deviceGetCount(type, &count) < 0) {
        qCritical().noquote() << Q_FUNC_INFO << "DeviceGetCount FAILED";
        return;
    }
    for (int i = 0; i < count; ++i) {
        QString name;
        device->deviceGetName(type, i, &name);
        qDebug() << "buttonName:" << name;
        if (name.startsWith(QLatin1String("PC Sounds")))
            qDebug() << " PC Sounds: " << i;
        if (!isHiddenDevice(name))
            list.append(name);
    }
}

QRectF Mixer::insetRect(const QSize &output, int camW, int camH)
{
    const int W = output.width(), H = output.height();
    const int insetW = int(W * kInsetWidthShare);
    const int margin = int(W * kInsetMarginShare);
    const int insetH = qRound(float(camH) * float(insetW) / float(camW));
    return QRectF(margin, H - insetH - kInsetBottomShare * margin, insetW, insetH);
}

bool Mixer::cropApplies(const QRect &crop)
{
    QRect none;
    none.setCoords(0, 0, 0, 0);
    return !crop.isNull() && crop != none;
}

void Mixer::run()
{
    qDebug() << "-- start mixer loop";
    if (m_mode != Picture::SingleFrame)
        run_combined_mix();
    else
        run_simple_mix();
    qDebug() << "-- stop mixer loop";
    HappensBefore::release(this);
}

bool Mixer::beginLoop()
{
    if (!deviceObject)
        return false;
    const int W = m_outputSize.width(), H = m_outputSize.height();
    cameraFormat = mf::MFFormat();
    cameraFormat.width = W;
    cameraFormat.height = H;
    cameraFormat.aspectX = 16;
    cameraFormat.aspectY = 9;
    cameraFormat.rate = kFrameRate;
    cameraFormat.audio = {2, 44100, 16};
    outputFormat = mf::MFFormat();
    outputFormat.width = W;
    outputFormat.height = H;

    auto preview = std::make_shared<mf::MFPreview>();
    preview->enable(false, true);
    // Under the lock, so that a setPreviewWindow from the GUI thread either
    // comes before (and is read here) or after (and re-attaches this preview).
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    preview->attach(m_previewWindow);
    m_preview = preview;
    m_levelCounter = 0;
    return true;
}

void Mixer::endLoop()
{
    std::lock_guard<std::mutex> lock(m_sinkMutex);
    m_preview.reset();
}

void Mixer::setScreenPaused(bool on)
{
    m_screenPaused = on;
    qDebug() << "-- screen paused:" << on;
}

// The screen is grabbed only while this turn's picture shows it or someone
// listens to the screen frames, and not while it is paused.
bool Mixer::screenShown()
{
    const bool listened = isSignalConnected(QMetaMethod::fromSignal(&Mixer::frameChanged));
    const bool shown = m_mode != Picture::SingleFrame || m_layout != Picture::CameraOnly || listened;
    if (m_screenSource)
        m_screenSource->setWanted(shown && !m_screenPaused);
    return shown;
}

mf::MFFramePtr Mixer::takeScreenFrame()
{
    if (!m_screenSource || !m_screenSource->isActive() || !screenShown())
        return nullptr;
    // Read once per picture, after the grab was switched off: a screen
    // picture grabbed before the pause is never used after it.
    if (m_screenPaused) {
        m_cardShown = true;
        return m_pauseCard.frame(m_outputSize);
    }
    mf::MFFramePtr screen = m_screenSource->getFrame();
    // Resumed, the card stays until the first new grab: no blank picture between.
    if (!screen)
        return m_cardShown ? m_pauseCard.frame(m_outputSize) : nullptr;
    m_cardShown = false;
    if (isSignalConnected(QMetaMethod::fromSignal(&Mixer::frameChanged)))
        emit frameChanged(screen);
    return cropFrame(screen);
}

void Mixer::noteLevel(const mf::MFFrame &deviceFrame)
{
    m_meterLevel.store(deviceFrame.format().audioLevel, std::memory_order_relaxed);
    if (++m_levelCounter >= kLevelEveryFrames) {
        m_levelCounter = 0;
        m_audioLevel = deviceFrame.format().audioLevel;
    }
}

void Mixer::show(const mf::MFFramePtr &frame, int timeoutMs, const char *failure)
{
    std::shared_ptr<mf::MFPreview> preview;
    {
        std::lock_guard<std::mutex> lock(m_sinkMutex);
        preview = m_preview;
    }
    if (preview && preview->put(frame, timeoutMs) < 0 && failure)
        qDebug() << failure;
}

void Mixer::write(const mf::MFFramePtr &frame, int timeoutMs)
{
    if (!writing)
        return;
    const std::shared_ptr<mf::MFFrameSink> writer = activeWriter();
    if (!writer)
        return;
    const int hr = writer->put(frame, timeoutMs);
    if (hr < 0)
        qDebug() << "-- streaming write error " << hr;
}

void Mixer::run_simple_mix()
{
    if (!beginLoop())
        return;
    mf::MFFormat backgroundFormat = outputFormat;
    backgroundFormat.rate = kFrameRate;
    backgroundFormat.field = kComposedField;
    const int W = m_outputSize.width(), H = m_outputSize.height();
    QRectF inset;
    while (running) {
        mf::MFFramePtr device;
        if (deviceObject->getFrame(cameraFormat, -1, &device) < 0)
            device = nullptr;
        if (device) {
            if (inset.width() == 0 || inset.height() == 0)
                inset = insetRect(m_outputSize, device->width(), device->height());
            noteLevel(*device);
        }
        const mf::MFFramePtr screen = takeScreenFrame();
        if (m_layout == Picture::CameraOnly && device && device->image().size() == m_outputSize) {
            // The camera covers the whole picture: nothing to compose.
            show(device, 0, nullptr);
            write(device, 0);
            continue;
        }
        mf::MFFramePtr background = mf::MFFactory::create(backgroundFormat, kBackgroundFrame);
        if (!background)
            continue;
        if (device && device->audioSampleCount() > 0)
            background->setAudio(cameraFormat.audio, device->audioSampleCount(), device->audioData());
        switch (m_layout.load()) {
        case Picture::CameraOnly:
            if (device)
                background->overlay(*device, 0, 0, W, H, 1.0, kSilenced);
            break;
        case Picture::ScreenOnly:
            if (screen)
                background->overlay(*screen, 0, 0, W, H, 1.0, kWithSound);
            break;
        case Picture::ScreenWithCamera:
            if (screen)
                background->overlay(*screen, 0, 0, W, H, 1.0, kWithSound);
            if (device)
                background->overlay(*device, inset.x(), inset.y(), inset.width(), inset.height(), 1.0, kSilenced);
            break;
        default:
            break;
        }
        if (device)
            background->setTimestampUs(device->timestampUs());
        show(background, 0, nullptr);
        write(background, 0);
    }
    endLoop();
}

void Mixer::run_combined_mix()
{
    if (!beginLoop())
        return;
    const int W = m_outputSize.width(), H = m_outputSize.height();
    mf::MFFormat canvasFormat;
    canvasFormat.width = 2 * W;
    canvasFormat.height = H;
    canvasFormat.aspectX = 32;
    canvasFormat.aspectY = 9;
    canvasFormat.rate = kFrameRate;
    canvasFormat.field = kComposedField;
    const mf::MFFramePtr blank = mf::MFFactory::create(canvasFormat, "solid_color='#ffffff(255)'");
    if (!blank) {
        qCritical().noquote() << Q_FUNC_INFO << " --- ERROR: failed to create combinedFrame";
        endLoop();
        return;
    }
    while (running) {
        mf::MFFramePtr device;
        if (deviceObject->getFrame(cameraFormat, -1, &device) < 0)
            device = nullptr;
        const mf::MFFramePtr screen = takeScreenFrame();
        mf::MFFramePtr canvas = blank->copy(); // shares the white picture until drawn on
        bool ok = true;
        if (device) {
            ok = canvas->overlay(*device, 0, 0, W, H, 1.0, kWithSound);
            noteLevel(*device);
            canvas->setTimestampUs(device->timestampUs());
        }
        if (screen)
            ok = canvas->overlay(*screen, W, 0, W, H, 1.0, kWithSound);
        if (!ok)
            qDebug() << "FAILED SCREEN MIX";
        show(canvas, -1, "-- ERROR s 20");
        write(canvas, -1);
    }
    endLoop();
}

mf::MFFramePtr Mixer::cropFrame(const mf::MFFramePtr &frame)
{
    const QRect crop = cropRect();
    if (!cropApplies(crop))
        return frame;
    const mf::MFFramePtr background = mf::MFFactory::create(outputFormat, kBackgroundFrame);
    if (!background)
        return frame;
    const mf::MFFramePtr cut = frame->cut(crop.left(), crop.top(), crop.right(), crop.bottom());
    if (!cut)
        return frame;
    const QRectF place = mf::MFFit::placement(crop.width(), crop.height(), outputFormat.width, outputFormat.height);
    if (!background->overlay(*cut, place.x(), place.y(), place.width(), place.height(), 1.0, QString()))
        return frame;
    return background;
}
