#include "media/engine/MFPreview.h"

#include "media/engine/MFPreviewRegistry.h"
#include "media/engine/MFPreviewTarget.h"

#include "diagnostics/HappensBefore.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

namespace mf {

MFPreview::MFPreview()
{
    auto *target = new MFPreviewTarget; // deleted through deleteLater in ~MFPreview
    if (auto *app = QCoreApplication::instance())
        target->moveToThread(app->thread());
    m_target = target;
    // The target's slots run on the GUI thread after queued calls, an order
    // the thread sanitizer cannot see through Qt's queue; its slots acquire.
    HappensBefore::release(target);
}

MFPreview::~MFPreview()
{
    if (!m_target)
        return;
    m_target->setFrame(nullptr);
    if (QThread::currentThread() == m_target->thread()) {
        // Gone at once, sound output included: a deferred delete may never run
        // when this is the last preview before the application ends.
        m_target->attachTo(0);
        delete m_target.data();
        return;
    }
    QMetaObject::invokeMethod(m_target, "attachTo", Qt::QueuedConnection, Q_ARG(quint64, 0));
    m_target->deleteLater();
}

bool MFPreview::enable(bool audio, bool video)
{
    if (!m_target)
        return false;
    m_target->setEnabled(audio, video);
    return true;
}

quint64 MFPreview::handleOf(QWidget *widget)
{
    return MFPreviewRegistry::handleOf(widget);
}

void MFPreview::attach(quint64 nativeWindowHandle)
{
    if (!m_target)
        return;
    // Attaching from another thread is queued; the target then takes the
    // latest handle asked for, so a later attach from the GUI thread is never
    // undone by an earlier queued one.
    m_target->requestHandle(nativeWindowHandle);
    QMetaObject::invokeMethod(m_target, "attachToLatest", Qt::AutoConnection);
}

quint64 MFPreview::attachedHandle() const
{
    return m_target ? m_target->requestedHandle() : 0;
}

int MFPreview::put(const MFFramePtr &frame, int timeoutMs)
{
    Q_UNUSED(timeoutMs) // showing a frame never waits
    if (!m_target || !frame)
        return -1;
    m_target->setFrame(frame);
    return 0;
}

MFFramePtr MFPreview::lastFrame() const
{
    return m_target ? m_target->frame() : nullptr;
}

} // namespace mf
