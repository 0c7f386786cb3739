#pragma once
#include "media/engine/MFScreenCastEvents.h"

#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QTimer>
#include <QVariantMap>

namespace mf {

// One ScreenCast session of xdg-desktop-portal over the session bus:
// CreateSession, SelectSources, Start, OpenPipeWireRemote, each request's
// Response awaited on its object path within a bounded time. Lives on a
// thread with an event loop; closes the portal's session when destroyed.
class MFPortalSession : public QObject
{
    Q_OBJECT
public:
    enum SourceType : uint { Monitor = 1, Window = 2 };
    enum CursorMode : uint { CursorHidden = 1, CursorEmbedded = 2, CursorMetadata = 4 };

    struct Offer
    {
        bool portal = false;     // the portal answered at all
        bool screenCast = false; // and has the ScreenCast interface
        uint sourceTypes = 0;
        uint cursorModes = 0;
        uint version = 0;
    };
    struct Stream
    {
        quint32 node = 0;
        QPoint position; // in desktop coordinates
        QSize size;      // zero when the portal did not say
    };

    // Asks the portal what it offers, waiting at most timeoutMs.
    static Offer probe(int timeoutMs);

    explicit MFPortalSession(QObject *parent = nullptr);
    ~MFPortalSession() override;

    // Starts the requests; ends in granted or failed.
    void open(uint sourceType, const QString &restoreToken, const QString &parentWindow);
    bool isOpen() const { return !m_session.isEmpty(); }

    // Bounds of the steps: the dialog waits for a person, the rest for a
    // program. Settable for tests of a portal that never answers.
    static constexpr int kStepTimeoutMs = 10000;
    static constexpr int kChoiceTimeoutMs = 180000;
    static void setTimeouts(int stepMs, int choiceMs);

signals:
    void granted(const QDBusUnixFileDescriptor &remote, const mf::MFPortalSession::Stream &stream);
    void failed(mf::MFScreenCastEvents::Problem problem, const QString &detail);
    // The portal closed the session after it was granted.
    void closed();

private slots:
    void onResponse(uint response, const QVariantMap &results);
    void onSessionClosed();
    void onTimeout();

private:
    enum class Step { Idle, Create, Select, Start, Remote, Done };

    QString nextToken();
    QString requestPath(const QString &token) const;
    bool watchRequest(const QString &path);
    void unwatchRequest();
    void call(Step step, const QString &method, const QVariantList &args, const QString &token, int timeoutMs);
    void selectSources();
    void startSession();
    void openRemote();
    void fail(MFScreenCastEvents::Problem problem, const QString &detail);
    void closeSession();
    static bool parseStream(const QVariantMap &results, Stream *stream);

    Step m_step = Step::Idle;
    Offer m_offer;
    uint m_sourceType = Monitor;
    QString m_restoreToken;
    QString m_parentWindow;
    QString m_session;
    QString m_request;
    Stream m_stream;
    QTimer m_timer;
    int m_tokens = 0;
};

} // namespace mf

Q_DECLARE_METATYPE(mf::MFPortalSession::Stream)
