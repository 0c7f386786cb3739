#include "media/engine/MFPreviewTarget.h"

#include "diagnostics/HappensBefore.h"
#include "media/engine/MFPreviewRegistry.h"

#include <QDebug>
#include <QEvent>
#include <QPainter>

namespace mf {

MFPreviewTarget::MFPreviewTarget() = default;

QRect MFPreviewTarget::pictureArea(const QSize &picture, const QRect &area)
{
    if (picture.isEmpty() || area.isEmpty())
        return {};
    const QSize size = picture.scaled(area.size(), Qt::KeepAspectRatio);
    return QRect(area.x() + (area.width() - size.width()) / 2,
                 area.y() + (area.height() - size.height()) / 2, size.width(), size.height());
}

MFPreviewTarget::~MFPreviewTarget()
{
    {
        // A preview let go on a player thread sets its last frame there and
        // deletes this later here: the lock orders the two where the thread
        // sanitizer can see it (Qt's deferred delete it cannot).
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frame.reset();
    }
    m_sound.stop();
    if (m_widget)
        m_widget->removeEventFilter(this);
}

void MFPreviewTarget::setFrame(const MFFramePtr &frame)
{
    if (frame && m_audio && frame->audioSampleCount() > 0)
        playSound(*frame);
    if (frame && frame->image().isNull())
        return;  // sound only
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frame = frame;
    }
    if (frame && !m_refreshQueued.exchange(true))
        QMetaObject::invokeMethod(this, "refresh", Qt::QueuedConnection);
}

MFFramePtr MFPreviewTarget::frame() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frame;
}

void MFPreviewTarget::setEnabled(bool audio, bool video)
{
    m_video = video;
    m_audio = audio;
    if (audio)
        m_sound.start();
    else
        m_sound.stop();
    QMetaObject::invokeMethod(this, "refresh", Qt::QueuedConnection);
}

void MFPreviewTarget::attachTo(quint64 nativeWindowHandle)
{
    HappensBefore::acquire(this);
    QWidget *widget = MFPreviewRegistry::find(nativeWindowHandle);
    if (nativeWindowHandle && !widget)
        qWarning() << "MFPreview: no widget for window" << nativeWindowHandle;
    if (widget != m_widget) {
        if (m_widget) {
            m_widget->removeEventFilter(this);
            m_widget->update();
        }
        m_widget = widget;
        if (m_widget)
            m_widget->installEventFilter(this);
    }
    if (m_widget)
        m_widget->update();
}

void MFPreviewTarget::refresh()
{
    HappensBefore::acquire(this);
    m_refreshQueued = false;
    if (m_widget)
        m_widget->update();
}

bool MFPreviewTarget::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_widget && event->type() == QEvent::Paint && m_video && frame()) {
        paintInto(m_widget);
        return true; // the frame replaces the widget's own content
    }
    return QObject::eventFilter(watched, event);
}

void MFPreviewTarget::paintInto(QWidget *widget)
{
    const MFFramePtr current = frame();
    const QImage picture = current->image();
    QPainter painter(widget);
    const QRect area = widget->rect();
    const QRect target = pictureArea(picture.size(), area);
    // Bars first, so nothing of the widget's old content shows around the picture.
    const QRegion bars = QRegion(area) - QRegion(target);
    for (const QRect &r : bars)
        painter.fillRect(r, Qt::black);
    if (!target.isEmpty())
        painter.drawImage(target, picture);
}

void MFPreviewTarget::playSound(const MFFrame &frame)
{
    const auto &fmt = frame.format().audio;
    if (fmt.channels != MFSoundOutput::kChannels || fmt.sampleRate != MFSoundOutput::kSampleRate || fmt.bits != 16)
        return; // the output runs at the engine's one sound format
    m_sound.push(frame.audioData(), frame.audioSampleCount());
}

} // namespace mf
