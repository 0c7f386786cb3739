#pragma once
#include "media/engine/MFPipeWireStream.h"
#include "media/engine/MFPortalSession.h"

#include <QImage>
#include <QObject>
#include <QPoint>
#include <QSize>
#include <QThread>

#include <memory>
#include <mutex>

namespace mf {

// Screen sharing through the desktop portal, one for the process while any
// source uses it: a thread with an event loop runs the portal sessions, the
// granted session's PipeWire stream delivers pictures, and readers take the
// newest one whenever they like without ever waiting for the portal.
//
// A new choice opens a new session; the running one keeps delivering until
// the new one is granted, so a cancelled dialog leaves the previous source.
class MFScreenCast
{
public:
    struct View
    {
        MFPipeWireStream::Picture picture;
        QPoint position; // the stream's place in desktop coordinates
        QSize size;      // the stream's size in desktop coordinates (the picture's when unknown)
        bool live = false;
    };

    // The shared instance, made on first use.
    static std::shared_ptr<MFScreenCast> instance();

    // Whether screen capture goes through the portal: ORVANTA_SCREEN_CAPTURE
    // "portal" or "x11" decides; otherwise a Wayland session whose portal
    // offers ScreenCast. A Wayland session without one is reported once.
    static bool portalChosen();
    static bool waylandSession();
    // The portal's offer, asked once per process (bounded wait).
    static MFPortalSession::Offer offer();

    // The parent window handed to the portal's dialog ("x11:" + hex id).
    static void setParentWindow(quint64 x11Window);

    ~MFScreenCast();

    // Opens a new session for that source type; returns at once.
    void choose(uint sourceType);
    // A session is granted or being asked for.
    bool busy() const;
    // The source type of the last choice.
    uint chosenType() const;
    View latest() const;

private:
    MFScreenCast();
    void openSession(uint sourceType);
    void onGranted(MFPortalSession *session, const QDBusUnixFileDescriptor &remote,
                   const MFPortalSession::Stream &stream);
    void onFailed(MFPortalSession *session, MFScreenCastEvents::Problem problem, const QString &detail);
    void onEnded(MFPortalSession *session, const QString &reason);
    void shutdown();

    QThread m_thread;
    QObject m_context; // lives on m_thread; the portal's replies arrive there
    // Touched on m_thread only.
    std::unique_ptr<MFPortalSession> m_pending, m_current;
    uint m_pendingType = 0;
    std::shared_ptr<MFPipeWireStream> m_stream;

    mutable std::mutex m_mutex; // guards what readers see
    std::shared_ptr<MFPipeWireStream> m_readable;
    mutable View m_view;
    bool m_busy = false;
    uint m_chosenType = 0;
};

} // namespace mf
