#include "media/engine/MFPortalSession.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>
#include <QRandomGenerator>

#include <atomic>

namespace mf {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kScreenCast = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString kRequest = QStringLiteral("org.freedesktop.portal.Request");
const QString kSession = QStringLiteral("org.freedesktop.portal.Session");

QDBusMessage getProperty(const QString &name, int timeoutMs)
{
    QDBusMessage msg = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    msg << kScreenCast << name;
    return QDBusConnection::sessionBus().call(msg, QDBus::Block, timeoutMs);
}

uint uintOf(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return 0;
    return reply.arguments().first().value<QDBusVariant>().variant().toUInt();
}

QString pathText(const QVariant &v)
{
    if (v.userType() == qMetaTypeId<QDBusObjectPath>())
        return v.value<QDBusObjectPath>().path();
    return v.toString();
}

QPoint pairOf(const QVariant &v)
{
    if (v.userType() != qMetaTypeId<QDBusArgument>())
        return {};
    const QDBusArgument arg = v.value<QDBusArgument>();
    int a = 0, b = 0;
    arg.beginStructure();
    arg >> a >> b;
    arg.endStructure();
    return QPoint(a, b);
}

std::atomic<int> stepTimeoutMs{MFPortalSession::kStepTimeoutMs};
std::atomic<int> choiceTimeoutMs{MFPortalSession::kChoiceTimeoutMs};

} // namespace

void MFPortalSession::setTimeouts(int stepMs, int choiceMs)
{
    stepTimeoutMs = stepMs;
    choiceTimeoutMs = choiceMs;
}

MFPortalSession::Offer MFPortalSession::probe(int timeoutMs)
{
    Offer offer;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return offer;
    const QDBusMessage types = getProperty(QStringLiteral("AvailableSourceTypes"), timeoutMs);
    if (types.type() == QDBusMessage::ErrorMessage) {
        const QString err = types.errorName();
        // A portal that is there but lacks the interface answers with one of these.
        const bool lacksInterface = err == QLatin1String("org.freedesktop.DBus.Error.InvalidArgs")
                                    || err == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface")
                                    || err == QLatin1String("org.freedesktop.DBus.Error.UnknownProperty");
        // A portal that just left the bus can still answer like that; ask the bus.
        offer.portal = lacksInterface && bus.interface()->isServiceRegistered(kService).value();
        return offer;
    }
    offer.portal = true;
    offer.screenCast = true;
    offer.sourceTypes = uintOf(types);
    offer.cursorModes = uintOf(getProperty(QStringLiteral("AvailableCursorModes"), timeoutMs));
    offer.version = uintOf(getProperty(QStringLiteral("version"), timeoutMs));
    return offer;
}

MFPortalSession::MFPortalSession(QObject *parent) : QObject(parent)
{
    qRegisterMetaType<mf::MFPortalSession::Stream>();
    qRegisterMetaType<mf::MFScreenCastEvents::Problem>();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &MFPortalSession::onTimeout);
}

MFPortalSession::~MFPortalSession()
{
    unwatchRequest();
    closeSession();
}

QString MFPortalSession::nextToken()
{
    return QStringLiteral("orvanta%1_%2").arg(++m_tokens).arg(QRandomGenerator::global()->generate());
}

// The portal names each request after the caller's unique bus name and the
// token, so its Response can be subscribed to before the call is made.
QString MFPortalSession::requestPath(const QString &token) const
{
    QString sender = QDBusConnection::sessionBus().baseService();
    sender.remove(0, 1).replace('.', '_');
    return QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
}

bool MFPortalSession::watchRequest(const QString &path)
{
    if (path == m_request)
        return true;
    unwatchRequest();
    m_request = path;
    return QDBusConnection::sessionBus().connect(kService, path, kRequest, QStringLiteral("Response"), this,
                                                 SLOT(onResponse(uint, QVariantMap)));
}

void MFPortalSession::unwatchRequest()
{
    if (m_request.isEmpty())
        return;
    QDBusConnection::sessionBus().disconnect(kService, m_request, kRequest, QStringLiteral("Response"), this,
                                             SLOT(onResponse(uint, QVariantMap)));
    m_request.clear();
}

void MFPortalSession::open(uint sourceType, const QString &restoreToken, const QString &parentWindow)
{
    m_sourceType = sourceType;
    m_restoreToken = restoreToken;
    m_parentWindow = parentWindow;
    m_offer = probe(stepTimeoutMs / 2);
    if (!m_offer.portal)
        return fail(MFScreenCastEvents::Problem::NoPortal, QString());
    if (!m_offer.screenCast)
        return fail(MFScreenCastEvents::Problem::NoScreenCast, QString());
    if (!(m_offer.sourceTypes & sourceType))
        return fail(MFScreenCastEvents::Problem::Failed, QString::fromLatin1(MFScreenCastEvents::kWindowsNotOffered));
    const QString token = nextToken();
    QVariantMap options{{"handle_token", token}, {"session_handle_token", nextToken()}};
    call(Step::Create, QStringLiteral("CreateSession"), {options}, token, stepTimeoutMs);
}

void MFPortalSession::call(Step step, const QString &method, const QVariantList &args, const QString &token,
                           int timeoutMs)
{
    m_step = step;
    if (!token.isEmpty())
        watchRequest(requestPath(token));
    QDBusMessage msg = QDBusMessage::createMethodCall(kService, kPath, kScreenCast, method);
    msg.setArguments(args);
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(msg, timeoutMs), this);
    m_timer.start(timeoutMs);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, step] {
        watcher->deleteLater();
        if (m_step != step)
            return;
        const QDBusMessage reply = watcher->reply();
        if (reply.type() == QDBusMessage::ErrorMessage) {
            const bool absent = reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown");
            return fail(absent ? MFScreenCastEvents::Problem::NoPortal
                               : reply.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply")
                                     ? MFScreenCastEvents::Problem::NoAnswer
                                     : MFScreenCastEvents::Problem::Failed,
                        reply.errorMessage());
        }
        if (step == Step::Remote) {
            m_timer.stop();
            const QDBusUnixFileDescriptor fd = reply.arguments().value(0).value<QDBusUnixFileDescriptor>();
            if (!fd.isValid())
                return fail(MFScreenCastEvents::Problem::Failed, QStringLiteral("no PipeWire remote"));
            m_step = Step::Done;
            emit granted(fd, m_stream);
            return;
        }
        // An older portal may put the request elsewhere than predicted.
        const QString path = reply.arguments().isEmpty() ? QString() : pathText(reply.arguments().first());
        if (!path.isEmpty())
            watchRequest(path);
    });
}

void MFPortalSession::onResponse(uint response, const QVariantMap &results)
{
    const Step step = m_step;
    unwatchRequest();
    m_timer.stop();
    if (response == 1)
        return fail(MFScreenCastEvents::Problem::Cancelled, QString());
    if (response != 0)
        return fail(MFScreenCastEvents::Problem::Failed, QString());
    switch (step) {
    case Step::Create:
        m_session = pathText(results.value(QStringLiteral("session_handle")));
        if (m_session.isEmpty())
            return fail(MFScreenCastEvents::Problem::Failed, QStringLiteral("no session"));
        QDBusConnection::sessionBus().connect(kService, m_session, kSession, QStringLiteral("Closed"), this,
                                              SLOT(onSessionClosed()));
        selectSources();
        break;
    case Step::Select:
        startSession();
        break;
    case Step::Start:
        if (!parseStream(results, &m_stream))
            return fail(MFScreenCastEvents::Problem::Failed, QStringLiteral("no stream"));
        MFScreenCastEvents::storeRestoreToken(results.value(QStringLiteral("restore_token")).toString());
        openRemote();
        break;
    default:
        break;
    }
}

void MFPortalSession::selectSources()
{
    const QString token = nextToken();
    QVariantMap options{{"handle_token", token}, {"types", m_sourceType}, {"multiple", false}};
    if (m_offer.version >= 2) {
        // The cursor as metadata is drawn by the engine (or left out); else
        // it comes in the picture.
        const uint mode = (m_offer.cursorModes & CursorMetadata) ? uint(CursorMetadata)
                          : (m_offer.cursorModes & CursorEmbedded) ? uint(CursorEmbedded)
                                                                   : uint(CursorHidden);
        options.insert(QStringLiteral("cursor_mode"), mode);
    }
    if (m_offer.version >= 4) {
        options.insert(QStringLiteral("persist_mode"), uint(2));
        if (!m_restoreToken.isEmpty())
            options.insert(QStringLiteral("restore_token"), m_restoreToken);
    }
    call(Step::Select, QStringLiteral("SelectSources"), {QVariant::fromValue(QDBusObjectPath(m_session)), options},
         token, stepTimeoutMs);
}

void MFPortalSession::startSession()
{
    const QString token = nextToken();
    QVariantMap options{{"handle_token", token}};
    call(Step::Start, QStringLiteral("Start"),
         {QVariant::fromValue(QDBusObjectPath(m_session)), m_parentWindow, options}, token, choiceTimeoutMs);
}

void MFPortalSession::openRemote()
{
    call(Step::Remote, QStringLiteral("OpenPipeWireRemote"),
         {QVariant::fromValue(QDBusObjectPath(m_session)), QVariantMap()}, QString(), stepTimeoutMs);
}

bool MFPortalSession::parseStream(const QVariantMap &results, Stream *stream)
{
    const QVariant v = results.value(QStringLiteral("streams"));
    if (v.userType() != qMetaTypeId<QDBusArgument>())
        return false;
    const QDBusArgument arg = v.value<QDBusArgument>();
    bool found = false;
    arg.beginArray();
    while (!arg.atEnd()) {
        quint32 node = 0;
        QVariantMap props;
        arg.beginStructure();
        arg >> node >> props;
        arg.endStructure();
        if (found)
            continue; // one source was asked for
        found = true;
        stream->node = node;
        stream->position = pairOf(props.value(QStringLiteral("position")));
        const QPoint size = pairOf(props.value(QStringLiteral("size")));
        stream->size = QSize(size.x(), size.y());
    }
    arg.endArray();
    return found;
}

void MFPortalSession::onTimeout()
{
    if (m_step == Step::Idle || m_step == Step::Done)
        return;
    fail(MFScreenCastEvents::Problem::NoAnswer, QString());
}

void MFPortalSession::fail(MFScreenCastEvents::Problem problem, const QString &detail)
{
    m_step = Step::Idle;
    m_timer.stop();
    unwatchRequest();
    closeSession();
    emit failed(problem, detail);
}

void MFPortalSession::onSessionClosed()
{
    m_session.clear(); // the portal closed it: nothing to close any more
    const Step step = m_step;
    m_step = Step::Idle;
    if (step == Step::Done)
        emit closed();
    else if (step != Step::Idle)
        fail(MFScreenCastEvents::Problem::Failed, QStringLiteral("session closed"));
}

void MFPortalSession::closeSession()
{
    if (m_session.isEmpty())
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.disconnect(kService, m_session, kSession, QStringLiteral("Closed"), this, SLOT(onSessionClosed()));
    bus.send(QDBusMessage::createMethodCall(kService, m_session, kSession, QStringLiteral("Close")));
    m_session.clear();
}

} // namespace mf
