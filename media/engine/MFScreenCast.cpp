#include "media/engine/MFScreenCast.h"

#include <QDebug>

#include <atomic>
#include <unistd.h>

namespace mf {

namespace {

std::mutex instanceMutex;
std::weak_ptr<MFScreenCast> shared;
std::atomic<quint64> parentWindow{0};

std::mutex offerMutex;
bool offerKnown = false;
MFPortalSession::Offer knownOffer;

} // namespace

std::shared_ptr<MFScreenCast> MFScreenCast::instance()
{
    std::lock_guard<std::mutex> lock(instanceMutex);
    std::shared_ptr<MFScreenCast> cast = shared.lock();
    if (!cast) {
        cast = std::shared_ptr<MFScreenCast>(new MFScreenCast());
        shared = cast;
    }
    return cast;
}

bool MFScreenCast::waylandSession()
{
    return !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qgetenv("XDG_SESSION_TYPE") == "wayland";
}

MFPortalSession::Offer MFScreenCast::offer()
{
    std::lock_guard<std::mutex> lock(offerMutex);
    if (!offerKnown) {
        knownOffer = MFPortalSession::probe(3000);
        offerKnown = true;
    }
    return knownOffer;
}

bool MFScreenCast::portalChosen()
{
    const QByteArray forced = qgetenv("ORVANTA_SCREEN_CAPTURE");
    if (forced == "portal")
        return true;
    if (forced == "x11" || !waylandSession())
        return false;
    const MFPortalSession::Offer o = offer();
    if (o.screenCast)
        return true;
    static std::once_flag told;
    std::call_once(told, [&o] {
        MFScreenCastEvents::report(o.portal ? MFScreenCastEvents::Problem::NoScreenCast
                                            : MFScreenCastEvents::Problem::NoPortal);
    });
    return false;
}

void MFScreenCast::setParentWindow(quint64 x11Window) { parentWindow = x11Window; }

MFScreenCast::MFScreenCast()
{
    m_thread.setObjectName(QStringLiteral("orvanta-portal"));
    m_context.moveToThread(&m_thread);
    m_thread.start();
}

MFScreenCast::~MFScreenCast()
{
    // The sessions and the stream are closed on their own thread.
    QMetaObject::invokeMethod(&m_context, [this] { shutdown(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    if (!m_thread.wait(5000))
        qWarning() << "MFScreenCast: portal thread still running at destruction";
}

void MFScreenCast::shutdown()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readable.reset();
        m_busy = false;
    }
    m_stream.reset();
    m_pending.reset();
    m_current.reset();
}

void MFScreenCast::choose(uint sourceType)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_busy = true;
        m_chosenType = sourceType;
    }
    QMetaObject::invokeMethod(&m_context, [this, sourceType] { openSession(sourceType); }, Qt::QueuedConnection);
}

uint MFScreenCast::chosenType() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_chosenType;
}

bool MFScreenCast::busy() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_busy;
}

void MFScreenCast::openSession(uint sourceType)
{
    // One dialog at a time: two sources made for the same choice (the
    // screen source and a mixer showing the desktop) share its answer.
    if (m_pending && m_pendingType == sourceType)
        return;
    m_pendingType = sourceType;
    m_pending = std::make_unique<MFPortalSession>();
    MFPortalSession *session = m_pending.get();
    QObject::connect(session, &MFPortalSession::granted, &m_context,
                     [this, session](const QDBusUnixFileDescriptor &remote, const MFPortalSession::Stream &stream) {
                         onGranted(session, remote, stream);
                     });
    QObject::connect(session, &MFPortalSession::failed, &m_context,
                     [this, session](MFScreenCastEvents::Problem problem, const QString &detail) {
                         onFailed(session, problem, detail);
                     });
    QObject::connect(session, &MFPortalSession::closed, &m_context,
                     [this, session] { onEnded(session, QStringLiteral("the desktop closed the session")); });
    const quint64 parent = parentWindow;
    session->open(sourceType, MFScreenCastEvents::restoreToken(),
                  parent ? QStringLiteral("x11:%1").arg(parent, 0, 16) : QString());
}

void MFScreenCast::onGranted(MFPortalSession *session, const QDBusUnixFileDescriptor &remote,
                             const MFPortalSession::Stream &stream)
{
    if (session != m_pending.get())
        return;
    auto fresh = std::make_shared<MFPipeWireStream>(::dup(remote.fileDescriptor()), stream.node);
    MFPipeWireStream *raw = fresh.get();
    fresh->setEndedHandler([this, raw, session](const QString &reason) {
        QMetaObject::invokeMethod(&m_context, [this, raw, session, reason] {
            if (raw == m_stream.get())
                onEnded(session, reason);
        }, Qt::QueuedConnection);
    });
    QString error;
    if (!fresh->start(&error)) {
        m_pending.reset();
        onFailed(nullptr, MFScreenCastEvents::Problem::Failed, error);
        return;
    }
    // The new session takes over; the previous one is closed only now.
    m_current = std::move(m_pending);
    std::shared_ptr<MFPipeWireStream> previous = std::move(m_stream);
    m_stream = fresh;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_readable = fresh;
        m_view.position = stream.position;
        m_view.size = stream.size;
        m_view.live = true;
        m_busy = true;
    }
    previous.reset();
    qDebug().noquote() << QStringLiteral("Screen sharing: stream %1 at %2,%3 size %4x%5")
                              .arg(stream.node)
                              .arg(stream.position.x())
                              .arg(stream.position.y())
                              .arg(stream.size.width())
                              .arg(stream.size.height());
    MFScreenCastEvents::announceStarted();
}

void MFScreenCast::onFailed(MFPortalSession *session, MFScreenCastEvents::Problem problem, const QString &detail)
{
    if (session && session == m_pending.get())
        m_pending.release()->deleteLater(); // its signal is still being delivered
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_busy = bool(m_stream) && !m_stream->hasEnded();
    }
    MFScreenCastEvents::report(problem, detail);
}

void MFScreenCast::onEnded(MFPortalSession *session, const QString &reason)
{
    if (session != m_current.get() || !m_stream)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // The last picture stays in m_view; nothing new comes.
        if (m_readable) {
            const MFPipeWireStream::Picture last = m_readable->latest();
            if (last.serial > 0)
                m_view.picture = last;
        }
        m_readable.reset();
        m_view.live = false;
        m_busy = bool(m_pending);
    }
    m_stream.reset();
    m_current.release()->deleteLater(); // may be the sender of closed()
    MFScreenCastEvents::report(MFScreenCastEvents::Problem::Ended, reason);
}

MFScreenCast::View MFScreenCast::latest() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_readable) {
        MFPipeWireStream::Picture p = m_readable->latest();
        if (p.serial > 0)
            m_view.picture = p;
    }
    return m_view;
}

} // namespace mf
