#include "media/engine/MFDevice.h"

#include "media/engine/DevicePixels.h"
#include "media/engine/MFAudioInput.h"
#include "media/engine/MFCaptureSource.h"
#include "media/engine/MFOptions.h"
#include "media/engine/MFPortalSource.h"
#include "media/engine/MFPulse.h"
#include "media/engine/MFTestPatternSource.h"

#include <QCoreApplication>
#include <QDebug>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>

#include <X11/Xlib.h>

#include <chrono>
#include <cmath>

namespace mf {

const QString MFDevice::kScreenCapture = QStringLiteral("Desktop Screen Capture");
const QString MFDevice::kTestPattern = QStringLiteral("Test Pattern");
const QString MFDevice::kLoopback = QStringLiteral("PC Sounds (Loopback)");
const QString MFDevice::kDefaultMonitor = QStringLiteral("@DEFAULT_MONITOR@");
const QString MFDevice::kNoAudio = QStringLiteral("<No Audio>");
const QString MFDevice::kNone = QStringLiteral("<None>");
const QString MFDevice::kNoExternalAudio = QStringLiteral("<No External Audio>");
const QString MFDevice::kTestTone = QStringLiteral("Test Pattern Tone");

namespace {

// What a reader is held back when there is nothing to read: one frame
// interval at 25 frames per second, the pace it would get from a source.
constexpr std::chrono::milliseconds kIdleFrameInterval(40);

// Display geometries in the X screen's pixels (what the grab and the capture
// area are given in), taken on the GUI thread (the only place Qt allows it)
// and read by capture threads. In Qt's screen order: "capture.screen_index"
// counts as the screen menu and the capture frame do.
std::mutex screensMutex;
QList<QRect> screensSnapshot;

void snapshotScreensIfGuiThread()
{
    auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance());
    if (!app || QThread::currentThread() != app->thread())
        return;
    QList<QRect> rects;
    for (QScreen *screen : QGuiApplication::screens())
        rects.append(DevicePixels::screenGeometry(screen));
    std::lock_guard<std::mutex> lock(screensMutex);
    screensSnapshot = rects;
}

QList<QRect> screens()
{
    std::lock_guard<std::mutex> lock(screensMutex);
    return screensSnapshot;
}

QString displayName()
{
    const QByteArray d = qgetenv("DISPLAY");
    return d.isEmpty() ? QStringLiteral(":0") : QString::fromLocal8Bit(d);
}

struct DisplayCloser { void operator()(Display *d) const { XCloseDisplay(d); } };

QRect rootRect(const QString &display)
{
    std::unique_ptr<Display, DisplayCloser> dpy(XOpenDisplay(display.toLocal8Bit().constData()));
    if (!dpy)
        return {};
    const int screen = DefaultScreen(dpy.get());
    return QRect(0, 0, DisplayWidth(dpy.get(), screen), DisplayHeight(dpy.get(), screen));
}

QRect parseArea(const QString &text)
{
    const QStringList parts = text.split(',');
    if (parts.size() != 4)
        return {};
    int v[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        v[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return {};
    }
    return QRect(QPoint(v[0], v[1]), QPoint(v[2], v[3]));
}

QSize parseSize(const QString &text)
{
    const QStringList parts = text.toLower().split('x');
    if (parts.size() != 2)
        return {};
    return QSize(parts[0].toInt(), parts[1].toInt());
}

void mixInto(std::vector<int16_t> &sum, const std::vector<int16_t> &add)
{
    const size_t n = std::min(sum.size(), add.size());
    for (size_t i = 0; i < n; ++i)
        sum[i] = int16_t(qBound(-32768, int(sum[i]) + int(add[i]), 32767));
}

// The x11grab settings for the screen properties.
MFCaptureSettings screenSettings(const QMap<QString, QString> &props)
{
    MFCaptureSettings s;
    s.inputFormat = QStringLiteral("x11grab");
    s.url = displayName();
    const QString fps = props.value("capture.fps_limit", "25");
    s.options.insert("framerate", fps.toDouble() > 0 ? fps : QStringLiteral("25"));
    s.options.insert("draw_mouse", props.value("capture.highlight_mouse") == "hide" ? "0" : "1");
    s.frameSize = parseSize(props.value("capture.frame_size"));
    quint32 argb = 0xFF000000u;
    if (MFOptions::parseColor(props.value("capture.background_color"), &argb))
        s.backgroundArgb = argb;

    bool ok = false;
    const quint64 window = props.value("capture.window_id").toULongLong(&ok, 0);
    if (ok && window != 0) {
        // A window comes at its own size; whoever asked for it fits it.
        s.frameSize = QSize();
        s.options.insert("window_id", QString::number(window));
        return s;
    }
    const QRect root = rootRect(s.url);
    QRect screen = root;
    const int index = props.value("capture.screen_index", "-1").toInt();
    const QList<QRect> displays = screens();
    if (index >= 0 && index < displays.size())
        screen = displays[index];
    QRect grab = screen;
    const QRect area = parseArea(props.value("capture.area"));
    if (!area.isEmpty())
        grab = area.translated(screen.topLeft());
    if (!root.isEmpty())
        grab &= root;
    if (!grab.isEmpty()) {
        s.options.insert("grab_x", QString::number(grab.x()));
        s.options.insert("grab_y", QString::number(grab.y()));
        s.options.insert("video_size", QStringLiteral("%1x%2").arg(grab.width()).arg(grab.height()));
    }
    return s;
}

// The portal source for the screen properties; null when x11grab captures
// (an X11 session, or a window of an X11 program named by its id).
std::unique_ptr<MFVideoSource> portalSource(const QMap<QString, QString> &props, bool newChoice)
{
    bool ok = false;
    const quint64 window = props.value("capture.window_id").toULongLong(&ok, 0);
    const bool portalWindow = ok && window == MFDevice::kPortalWindow;
    if ((ok && window != 0 && !portalWindow) || !MFScreenCast::portalChosen())
        return nullptr;
    MFPortalSettings s;
    s.sourceType = portalWindow ? MFPortalSession::Window : MFPortalSession::Monitor;
    s.newChoice = newChoice;
    const double fps = props.value("capture.fps_limit", "25").toDouble();
    s.fps = fps > 0 ? fps : 25;
    s.drawCursor = props.value("capture.highlight_mouse") != "hide";
    s.frameSize = portalWindow ? QSize() : parseSize(props.value("capture.frame_size"));
    quint32 argb = 0xFF000000u;
    if (MFOptions::parseColor(props.value("capture.background_color"), &argb))
        s.backgroundArgb = argb;
    if (!portalWindow) {
        // The same desktop rectangle x11grab would take; the source finds it
        // in the stream of the monitor the portal granted.
        const QRect area = parseArea(props.value("capture.area"));
        const int index = props.value("capture.screen_index", "-1").toInt();
        const QList<QRect> displays = screens();
        const QPoint origin = (index >= 0 && index < displays.size()) ? displays[index].topLeft() : QPoint();
        if (!area.isEmpty())
            s.area = area.translated(origin);
    }
    return std::make_unique<MFPortalSource>(s);
}

} // namespace

const quint64 MFDevice::kPortalWindow = ~quint64(0);

MFDevice::MFDevice()
{
    snapshotScreensIfGuiThread();
}

MFDevice::~MFDevice()
{
    interrupt();
}

QStringList MFDevice::listDevices(eMFDeviceType type)
{
    QStringList names;
    switch (type) {
    case eMFDeviceType::Video:
        for (const auto &camera : MFCaptureSource::cameras())
            names << camera.name;
        names << kTestPattern << kScreenCapture;
        break;
    case eMFDeviceType::VideoAudio:
        names << kNoAudio << kTestTone;
        break;
    case eMFDeviceType::Audio:
    case eMFDeviceType::Audio2: {
        const MFPulse::Inventory pulse = MFPulse::inventory();
        if (!pulse.serverReachable)
            break;
        QMap<QString, QString> pulseNames;
        QStringList sources;
        for (const auto &source : pulse.sources) {
            if (!pulseNames.contains(source.description))
                sources << source.description;
            pulseNames.insert(source.description, source.name);
        }
        pulseNames.insert(kLoopback, kDefaultMonitor);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pulseNames = pulseNames;
        }
        if (type == eMFDeviceType::Audio)
            names << kNone << sources << kLoopback;
        else
            names << kNoExternalAudio << kLoopback << sources;
        break;
    }
    default:
        break;
    }
    return names;
}

int MFDevice::deviceGetCount(eMFDeviceType type, int *count)
{
    if (!count || type < eMFDeviceType::Video || type > eMFDeviceType::Audio2)
        return MF_E_INVALIDARG;
    const QStringList names = listDevices(type);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lists[type] = names;
    *count = names.size();
    return MF_OK;
}

int MFDevice::deviceGetName(eMFDeviceType type, int index, QString *name)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const QStringList list = m_lists.value(type);
    if (!name || index < 0 || index >= list.size())
        return MF_E_INVALIDARG;
    *name = list[index];
    return MF_OK;
}

int MFDevice::deviceSet(eMFDeviceType type, int index, const QString &options)
{
    Q_UNUSED(options)
    bool listed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        listed = m_lists.contains(type);
    }
    if (!listed) {
        int count = 0;
        deviceGetCount(type, &count);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const QStringList list = m_lists.value(type);
    if (index < 0 || index >= list.size())
        return MF_E_INVALIDARG;
    m_selected[type] = list[index];
    if (type == eMFDeviceType::Video)
        ++m_videoChoices;
    configChangedLocked();
    return MF_OK;
}

// Called with m_mutex held.
void MFDevice::configChangedLocked()
{
    ++m_version;
    m_configChanged.notify_all();
}

// Holds the reader for one frame interval, unless a choice comes sooner.
void MFDevice::waitForVideoChoice()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_configChanged.wait_for(lock, kIdleFrameInterval, [this] { return m_version != m_appliedVersion; });
}

QString MFDevice::deviceSelected(eMFDeviceType type) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_selected.value(type);
}

void MFDevice::setSoundProcessing(SoundProcessing processing)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_soundProcessing = processing;
}

SoundProcessing MFDevice::soundProcessing() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_soundProcessing;
}

int MFDevice::propertySet(const QString &name, const QString &value)
{
    if (name.isEmpty())
        return MF_E_INVALIDARG;
    if (name == QLatin1String("capture.screen_index"))
        snapshotScreensIfGuiThread();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_properties.value(name) != value || !m_properties.contains(name)) {
        m_properties[name] = value;
        configChangedLocked();
    }
    return MF_OK;
}

QString MFDevice::propertyGet(const QString &name) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_properties.value(name);
}

std::unique_ptr<MFVideoSource> MFDevice::makeVideoSource(const QString &name, const QMap<QString, QString> &props,
                                                         bool newChoice) const
{
    if (name == kTestPattern)
        return std::make_unique<MFTestPatternSource>();
    if (name == kScreenCapture) {
        if (std::unique_ptr<MFVideoSource> portal = portalSource(props, newChoice))
            return portal;
        return std::make_unique<MFCaptureSource>(screenSettings(props));
    }
    for (const auto &camera : MFCaptureSource::cameras()) {
        if (camera.name != name)
            continue;
        MFCaptureSettings s;
        s.inputFormat = QStringLiteral("video4linux2");
        s.url = camera.path;
        s.options.insert("framerate", "25");
        return std::make_unique<MFCaptureSource>(s);
    }
    return nullptr;
}

std::unique_ptr<MFAudioInput> MFDevice::makeAudioInput(const QString &name, const MFAudioFormat &fmt) const
{
    QString source;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        source = m_pulseNames.value(name);
    }
    if (source.isEmpty() || fmt.channels <= 0)
        return nullptr; // the pseudo-devices and nothing selected: silence
    return std::make_unique<MFAudioInput>(source, fmt, processingFor(source));
}

// A monitor records what the outputs play: there is no room noise to take
// out, and what it carries (music, a video's sound) is not a voice to clean
// up; the return sound in it still goes.
SoundProcessing MFDevice::processingFor(const QString &source) const
{
    SoundProcessing processing = m_appliedProcessing;
    if (source == kDefaultMonitor || source.endsWith(QLatin1String(".monitor")))
        processing.noiseSuppression = false;
    return processing;
}

void MFDevice::applyPendingConfig()
{
    QMap<eMFDeviceType, QString> selected;
    QMap<QString, QString> props;
    quint64 choices;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_version == m_appliedVersion)
            return;
        m_appliedVersion = m_version;
        selected = m_selected;
        props = m_properties;
        choices = m_videoChoices;
    }
    // Property changes only matter to the screen; cameras keep running. The
    // screen chosen again is opened anew (the portal asks again).
    const QString video = selected.value(eMFDeviceType::Video);
    const bool screen = (video == kScreenCapture);
    const bool chosenAgain = screen && choices != m_appliedChoices;
    m_appliedChoices = choices;
    if (video != m_videoName || (screen && props != m_videoProps) || chosenAgain) {
        std::unique_ptr<MFVideoSource> fresh = makeVideoSource(video, props, video != m_videoName || chosenAgain);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_activeVideo = fresh.get();
        }
        m_video = std::move(fresh); // the old source goes here, on the reading thread
        m_videoName = video;
        m_videoProps = props;
    }
    m_ownSound = selected.value(eMFDeviceType::VideoAudio);
    const QString audio = selected.value(eMFDeviceType::Audio);
    if (audio != m_audioName) {
        m_audio.reset();
        m_audioName = audio;
    }
    const QString audio2 = selected.value(eMFDeviceType::Audio2);
    if (audio2 != m_audio2Name) {
        m_audio2.reset();
        m_audio2Name = audio2;
    }
}

void MFDevice::followSoundProcessing()
{
    const SoundProcessing wanted = soundProcessing();
    if (wanted == m_appliedProcessing)
        return;
    m_appliedProcessing = wanted;
    for (MFAudioInput *input : {m_audio.get(), m_audio2.get()})
        if (input)
            input->setProcessing(processingFor(input->sourceName()));
}

std::vector<int16_t> MFDevice::soundFor(int samples, const MFAudioFormat &fmt)
{
    if (fmt.channels != m_audioFormat.channels || fmt.sampleRate != m_audioFormat.sampleRate) {
        m_audio.reset();
        m_audio2.reset();
        m_audioFormat = fmt;
    }
    if (!m_audio && !m_audioName.isEmpty())
        m_audio = makeAudioInput(m_audioName, fmt);
    if (!m_audio2 && !m_audio2Name.isEmpty() && m_audio2Name != m_audioName)
        m_audio2 = makeAudioInput(m_audio2Name, fmt);

    followSoundProcessing();
    std::vector<int16_t> sum(size_t(samples) * size_t(fmt.channels), 0);
    if (m_video && m_ownSound != kNoAudio)
        mixInto(sum, m_video->ownSound(samples, fmt));
    if (m_audio)
        mixInto(sum, m_audio->take(samples));
    if (m_audio2)
        mixInto(sum, m_audio2->take(samples));
    return sum;
}

int MFDevice::getFrame(const MFFormat &format, int timeoutMs, MFFramePtr *frame)
{
    Q_UNUSED(timeoutMs) // every source delivers within one frame interval or fails
    if (!frame)
        return MF_E_INVALIDARG;
    *frame = nullptr;
    applyPendingConfig();
    if (!m_video) {
        waitForVideoChoice();
        return MF_E_NOSOURCE;
    }
    MFFramePtr picture = m_video->read(QSize(format.width, format.height));
    if (!picture)
        return MF_E_FAIL;
    picture->setTiming(format);
    if (format.audio.channels > 0 && format.audio.sampleRate > 0) {
        const double rate = format.rate > 0 ? format.rate : 25.0;
        const int samples = int(std::lround(format.audio.sampleRate / rate));
        const std::vector<int16_t> sound = soundFor(samples, format.audio);
        picture->setAudio(format.audio, samples, sound.data());
    }
    *frame = picture;
    return MF_OK;
}

void MFDevice::interrupt()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (MFVideoSource *source = m_activeVideo.load())
        source->interrupt();
}

QStringList MFDevice::deviceNames(eMFDeviceType type)
{
    MFDevice device;
    int count = 0;
    QStringList names;
    if (device.deviceGetCount(type, &count) < 0)
        return names;
    for (int i = 0; i < count; ++i) {
        QString name;
        if (device.deviceGetName(type, i, &name) >= 0)
            names << name;
    }
    return names;
}

} // namespace mf
