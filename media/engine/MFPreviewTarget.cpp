#include "media/engine/MFPreviewTarget.h"

#include <QAudioDeviceInfo>
#include <QAudioOutput>
#include <QDebug>
#include <QEvent>
#include <QPainter>

namespace mf {

namespace {

constexpr int kMaxPendingSoundBytes = 44100 * 4 / 2; // half a second of 16-bit stereo

QAudioFormat soundFormat()
{
    QAudioFormat f;
    f.setSampleRate(44100);
    f.setChannelCount(2);
    f.setSampleSize(16);
    f.setCodec(QStringLiteral("audio/pcm"));
    f.setByteOrder(QAudioFormat::LittleEndian);
    f.setSampleType(QAudioFormat::SignedInt);
    return f;
}

QRect fitted(const QSize &picture, const QRect &area)
{
    if (picture.isEmpty() || area.isEmpty())
        return {};
    const QSize size = picture.scaled(area.size(), Qt::KeepAspectRatio);
    return QRect(area.x() + (area.width() - size.width()) / 2,
                 area.y() + (area.height() - size.height()) / 2, size.width(), size.height());
}

} // namespace

MFPreviewTarget::MFPreviewTarget() = default;

MFPreviewTarget::~MFPreviewTarget()
{
    stopAudio();
    if (m_widget)
        m_widget->removeEventFilter(this);
}

void MFPreviewTarget::setFrame(const MFFramePtr &frame)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_frame = frame;
        if (frame && m_audio && frame->audioSampleCount() > 0)
            queueSound(*frame);
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
    QMetaObject::invokeMethod(this, "applyAudioEnabled", Qt::QueuedConnection);
    QMetaObject::invokeMethod(this, "refresh", Qt::QueuedConnection);
}

void MFPreviewTarget::attachTo(quint64 nativeWindowHandle)
{
    QWidget *widget = nativeWindowHandle ? QWidget::find(WId(nativeWindowHandle)) : nullptr;
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
    m_refreshQueued = false;
    if (m_widget)
        m_widget->update();
    feedSound();
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
    const QRect target = fitted(picture.size(), area);
    // Bars first, so nothing of the widget's old content shows around the picture.
    const QRegion bars = QRegion(area) - QRegion(target);
    for (const QRect &r : bars)
        painter.fillRect(r, Qt::black);
    if (!target.isEmpty())
        painter.drawImage(target, picture);
}

void MFPreviewTarget::applyAudioEnabled()
{
    if (m_audio)
        startAudio();
    else
        stopAudio();
}

void MFPreviewTarget::startAudio()
{
    if (m_audioOutput)
        return;
    const QAudioDeviceInfo device = QAudioDeviceInfo::defaultOutputDevice();
    if (device.isNull() || !device.isFormatSupported(soundFormat())) {
        qDebug() << "MFPreview: no sound output, frames play silently";
        return;
    }
    m_audioOutput = std::make_unique<QAudioOutput>(device, soundFormat());
    m_audioOutput->setBufferSize(44100 * 4 / 5); // 200 ms
    m_audioDevice = m_audioOutput->start();
    if (!m_audioDevice) {
        qDebug() << "MFPreview: sound output did not start";
        stopAudio();
    }
}

void MFPreviewTarget::stopAudio()
{
    if (!m_audioOutput)
        return;
    m_audioOutput->stop();
    m_audioDevice = nullptr;
    m_audioOutput.reset();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pendingSound.clear();
}

void MFPreviewTarget::queueSound(const MFFrame &frame)
{
    const auto &fmt = frame.format().audio;
    if (fmt.channels != 2 || fmt.sampleRate != 44100 || fmt.bits != 16)
        return; // the output runs at the engine's one sound format
    m_pendingSound.append(reinterpret_cast<const char *>(frame.audioData()),
                          frame.audioSampleCount() * 4);
    if (m_pendingSound.size() > kMaxPendingSoundBytes)
        m_pendingSound.remove(0, m_pendingSound.size() - kMaxPendingSoundBytes);
}

void MFPreviewTarget::feedSound()
{
    if (!m_audioDevice || !m_audioOutput)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    const int room = m_audioOutput->bytesFree() & ~3;
    const int n = qMin(room, int(m_pendingSound.size()));
    if (n <= 0)
        return;
    const qint64 written = m_audioDevice->write(m_pendingSound.constData(), n);
    if (written > 0)
        m_pendingSound.remove(0, int(written));
}

} // namespace mf
