#pragma once
#include "media/engine/MFFrame.h"
#include "media/engine/MFSoundOutput.h"

#include <QObject>
#include <QPointer>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>

namespace mf {

// The GUI-thread half of MFPreview: paints the newest frame into the attached
// widget through an event filter. The sound goes from the putting thread
// straight to the sound output's own thread; frames without a picture carry
// sound only and leave the picture as it is.
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
    // The window last asked for, which attachToLatest() attaches to. Any thread.
    void requestHandle(quint64 nativeWindowHandle) { m_requestedHandle = nativeWindowHandle; }
    quint64 requestedHandle() const { return m_requestedHandle; }
    // Where a picture of this size is painted in an area: fitted in, centred,
    // black bars beside it. Empty when either is empty.
    static QRect pictureArea(const QSize &picture, const QRect &area);

public slots:
    void attachTo(quint64 nativeWindowHandle);
    void attachToLatest() { attachTo(m_requestedHandle.load()); }
    void refresh();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void paintInto(QWidget *widget);
    void playSound(const MFFrame &frame);

    mutable std::mutex m_mutex; // guards m_frame
    MFFramePtr m_frame;
    std::atomic<quint64> m_requestedHandle{0};
    std::atomic<bool> m_refreshQueued{false};
    std::atomic<bool> m_video{true};
    std::atomic<bool> m_audio{false};

    QPointer<QWidget> m_widget;
    MFSoundOutput m_sound;
};

} // namespace mf
