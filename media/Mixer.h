#pragma once
#include "media/DeviceSelection.h"
#include "media/engine/MFFrame.h"
#include "media/engine/MFFrameSink.h"
#include "media/engine/SoundProcessing.h"

#include <QRect>
#include <QRectF>
#include <QSize>
#include <QStringList>
#include <QThread>

#include "media/PauseCard.h"
#include "media/PictureLayout.h"

#include <atomic>
#include <memory>
#include <mutex>

namespace mf {
class MFPreview;
}
class ScreenSource;

// The thread that composes camera and screen into the picture shown locally
// and, while writing is on, handed to the writer. Mode 10 composes one output
// frame by layout (10 camera, 20 screen, 30 screen with a camera inset); mode
// 20 puts camera and screen side by side in a frame twice as wide.
class Mixer : public QThread
{
    Q_OBJECT
public:
    explicit Mixer(QObject *parent = nullptr);
    ~Mixer() override;

    // How long a stop waits for the loop's turn to end: a turn waits for
    // one device frame, which comes within a frame interval or fails.
    static constexpr int kStopTimeoutMs = 5000;

    // The sound level (dB) of every ninth device frame, for smart mute.
    float audioLevel() const { return m_audioLevel; }
    // The sound level (dB) of the newest device frame, for a level meter.
    float meterLevel() const { return m_meterLevel.load(std::memory_order_relaxed); }
    // A Picture::Layout; any other value composes nothing. Any thread.
    void setLayout(int layout) { m_layout = layout; }
    int layout() const { return m_layout; }

    bool start(quint64 previewWindow, int mode, const QSize &outputSize);
    void stop();
    // stop(), then waits in 100 ms steps for the thread to end, at most
    // timeoutMs; logs and returns false when it did not end in time.
    bool stopAndWait(int timeoutMs = kStopTimeoutMs);

    // The restart of the window's startMixer: stopAndWait(timeoutMs), then
    // start in mode 20 (twoFrames) or 10 with the given size.
    bool restart(quint64 previewWindow, bool twoFrames, const QSize &outputSize, int timeoutMs = kStopTimeoutMs);

    void setPreviewWindow(quint64 handle);
    quint64 previewWindow() const { return m_previewWindow; }
    void setArea(int screenIndex, const QRect &rect);
    // Keeps the screen picture as it is (see ScreenSource::hold) while the
    // capture area is not yet known.
    void holdScreen(bool on);
    // While paused, every picture made from the next one on shows the pause
    // card wherever it would show the screen, and the screen is not grabbed;
    // camera and sound go on. Any thread.
    void setScreenPaused(bool on);
    bool isScreenPaused() const { return m_screenPaused; }

    // The writer side: whoever configures a writer installs it here and
    // switches writing on; the loops put every frame into it while on.
    void setActiveWriter(std::shared_ptr<mf::MFFrameSink> writer);
    std::shared_ptr<mf::MFFrameSink> activeWriter() const;
    void setWriting(bool on) { writing.exchange(on); }
    bool isWriting() const { return writing; }

    bool setVideoDevice(const QString &name);
    bool setAudioDevice(QString name);
    void setSystemSound(bool on);
    // The echo of the return sound taken out of what the microphones and the
    // system sound record, and their noise suppressed, as chosen.
    void setSoundProcessing(mf::SoundProcessing processing);
    bool setScreenDevice(const QString &name, int screenIndex);
    static void enumerateDevices(const QString &kind, QStringList &list);

    int mode() const { return m_mode; }
    QSize outputSize() const { return m_outputSize; }
    QRect cropRect() const;
    ScreenSource *screenSource() const { return m_screenSource.get(); }
    MFDevicePtr device() const { return deviceObject; }

    // The placement arithmetic of the loops, for W x H outputs.
    static QRectF insetRect(const QSize &output, int camW, int camH);
    static bool cropApplies(const QRect &crop);

signals:
    void handleChanged(quint64 handle);
    void frameChanged(mf::MFFramePtr frame);

public slots:
    void cropRectChanged(QRect rect);

protected:
    void run() override;

private:
    bool hasEnded() const;
    bool beginLoop();
    void endLoop();
    void run_simple_mix();
    void run_combined_mix();
    mf::MFFramePtr cropFrame(const mf::MFFramePtr &frame);
    bool screenShown();
    mf::MFFramePtr takeScreenFrame();
    void show(const mf::MFFramePtr &frame, int timeoutMs, const char *failure);
    void write(const mf::MFFramePtr &frame, int timeoutMs);
    void noteLevel(const mf::MFFrame &deviceFrame);

    std::atomic<float> m_audioLevel{-100.f};
    std::atomic<float> m_meterLevel{-100.f};
    std::atomic<int> m_layout{Picture::CameraOnly};
    MFDevicePtr deviceObject;
    int m_mode = Picture::SingleFrame;
    mf::MFFormat cameraFormat;
    mf::MFFormat outputFormat;
    std::atomic<bool> running{false};
    std::atomic<quint64> m_previewWindow{0};
    QSize m_outputSize{1280, 720};
    std::unique_ptr<ScreenSource> m_screenSource;
    mutable std::mutex m_sinkMutex; // guards m_activeWriter and m_preview
    std::shared_ptr<mf::MFFrameSink> m_activeWriter;
    std::shared_ptr<mf::MFPreview> m_preview;
    std::atomic<bool> writing{false};
    std::atomic<bool> m_screenPaused{false};
    PauseCard m_pauseCard; // the mixer thread's, as is:
    bool m_cardShown = false;
    mutable std::mutex m_cropMutex; // the crop rectangle is read and written as a whole
    QRect m_cropRect;
    int m_levelCounter = 0;
};
