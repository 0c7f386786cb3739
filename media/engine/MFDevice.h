#pragma once
#include "media/engine/MFFrame.h"
#include "media/engine/SoundProcessing.h"

#include <QMap>
#include <QRect>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace mf {

class MFAudioInput;
class MFVideoSource;

// Result codes of the device object: below 0 is a failure.
constexpr int MF_OK = 0;
constexpr int MF_E_FAIL = -1;
constexpr int MF_E_INVALIDARG = -2;
constexpr int MF_E_NOSOURCE = -3;

// The kinds of device the device object selects one of each.
enum class eMFDeviceType {
    Video = 0,      // cameras, the test pattern, the screen
    VideoAudio = 1, // the video device's own sound
    Audio = 2,      // sound input
    Audio2 = 3,     // second sound input, mixed with the first
};

// The device object: lists devices by type, selects one per type, carries
// named properties, and hands out the next frame of the selected video device
// with the sound of the selected sound inputs for that frame's interval.
//
// Selection and properties may be changed from any thread while another
// thread waits in getFrame(); changes take effect at the next frame.
class MFDevice
{
public:
    static const QString kScreenCapture; // "Desktop Screen Capture"
    static const QString kTestPattern;   // "Test Pattern"
    static const QString kLoopback;      // "PC Sounds (Loopback)"
    static const QString kDefaultMonitor; // the sound server's name of its source
    static const QString kNoAudio;       // "<No Audio>"
    static const QString kNone;          // "<None>"
    static const QString kNoExternalAudio; // "<No External Audio>"
    static const QString kTestTone;      // the test pattern's own sound
    // "capture.window_id" of the window the desktop portal lets the user choose.
    static const quint64 kPortalWindow;

    MFDevice();
    ~MFDevice();
    MFDevice(const MFDevice &) = delete;
    MFDevice &operator=(const MFDevice &) = delete;

    // Lists the devices of a type afresh and returns their number.
    int deviceGetCount(eMFDeviceType type, int *count);
    // Names from the list of the last deviceGetCount of that type.
    int deviceGetName(eMFDeviceType type, int index, QString *name);
    int deviceSet(eMFDeviceType type, int index, const QString &options = QString());
    QString deviceSelected(eMFDeviceType type) const;

    // What is done to the recorded sound (its echo and noise); any thread.
    void setSoundProcessing(SoundProcessing processing);
    SoundProcessing soundProcessing() const;

    int propertySet(const QString &name, const QString &value);
    QString propertyGet(const QString &name) const;

    // Blocks until the selected video device's next picture, converted to
    // format's size (its own size when format has none), with format.audio's
    // sound of one interval (sampleRate / rate samples) when channels > 0.
    int getFrame(const MFFormat &format, int timeoutMs, MFFramePtr *frame);
    // Makes a waiting getFrame return soon.
    void interrupt();

    // Names of one type, for reports.
    static QStringList deviceNames(eMFDeviceType type);

private:
    struct Config;
    void applyPendingConfig();
    std::unique_ptr<MFVideoSource> makeVideoSource(const QString &name, const QMap<QString, QString> &props,
                                                   bool newChoice) const;
    std::unique_ptr<MFAudioInput> makeAudioInput(const QString &name, const MFAudioFormat &fmt) const;
    std::vector<int16_t> soundFor(int samples, const MFAudioFormat &fmt);
    void followSoundProcessing();
    SoundProcessing processingFor(const QString &source) const;
    QStringList listDevices(eMFDeviceType type);
    void configChangedLocked();
    void waitForVideoChoice();

    mutable std::mutex m_mutex; // guards everything below up to the reader's state
    QMap<eMFDeviceType, QStringList> m_lists;
    QMap<eMFDeviceType, QString> m_selected;
    QMap<QString, QString> m_properties;
    QMap<QString, QString> m_pulseNames; // shown name -> server source name
    quint64 m_version = 1;
    std::condition_variable m_configChanged; // m_version moved on
    quint64 m_videoChoices = 0; // selections of a video device, the same one again included
    SoundProcessing m_soundProcessing;

    // Reader state, touched by the thread in getFrame() only.
    quint64 m_appliedVersion = 0;
    quint64 m_appliedChoices = 0;
    MFAudioFormat m_audioFormat;
    QString m_videoName, m_ownSound, m_audioName, m_audio2Name;
    SoundProcessing m_appliedProcessing;
    QMap<QString, QString> m_videoProps;
    std::unique_ptr<MFVideoSource> m_video;
    std::unique_ptr<MFAudioInput> m_audio, m_audio2;
    std::atomic<MFVideoSource *> m_activeVideo{nullptr};
};

} // namespace mf
