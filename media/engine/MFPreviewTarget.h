#pragma once
#include "media/engine/MFFrame.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>

class QAudioOutput;
class QIODevice;

namespace mf {

// The GUI-thread half of MFPreview: paints the newest frame into the attached
// widget through an event filter and feeds the sound output.
class MFPreviewTarget : public QObject
{
    Q_OBJECT
public:
    MFPreviewTarget();
    ~MFPreviewTarget() override;

    // Any thread.
    void setFrame(const MFFramePtr &frame);
    MFFramePtr frame() const;
    void setEnabled(bool audio, bool video);
    std::atomic<quint64> handle{0};

public slots:
    void attachTo(quint64 nativeWindowHandle);
    void attachToLatest() { attachTo(handle.load()); }
    void refresh();
    void applyAudioEnabled();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void paintInto(QWidget *widget);
    void startAudio();
    void stopAudio();
    void queueSound(const MFFrame &frame);
    void feedSound();

    mutable std::mutex m_mutex; // guards m_frame and m_pendingSound
    MFFramePtr m_frame;
    QByteArray m_pendingSound;
    std::atomic<bool> m_refreshQueued{false};
    std::atomic<bool> m_video{true};
    std::atomic<bool> m_audio{false};

    QPointer<QWidget> m_widget;
    std::unique_ptr<QAudioOutput> m_audioOutput;
    QIODevice *m_audioDevice = nullptr; // owned by m_audioOutput
};

} // namespace mf
