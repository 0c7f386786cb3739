#include "media/engine/MFScreenCastEvents.h"

#include <QDebug>

#include <mutex>

namespace mf {

namespace {
std::mutex tokenMutex;
QString storedToken;
} // namespace

const char *const MFScreenCastEvents::kWindowsNotOffered = "This desktop's portal offers no window sharing";

MFScreenCastEvents &MFScreenCastEvents::instance()
{
    static MFScreenCastEvents events;
    return events;
}

QString MFScreenCastEvents::text(Problem problem, const QString &detail)
{
    QString t;
    switch (problem) {
    case Problem::Cancelled:
        t = QStringLiteral("Screen sharing was cancelled in the desktop's dialog; the previous screen source stays");
        break;
    case Problem::Failed:
        t = QStringLiteral("The desktop could not start screen sharing");
        break;
    case Problem::NoPortal:
        t = QStringLiteral("Screen sharing on this Wayland desktop needs the desktop portal: install xdg-desktop-portal "
                           "and the portal of your desktop (xdg-desktop-portal-gnome, -kde or -wlr)");
        break;
    case Problem::NoScreenCast:
        t = QStringLiteral("The desktop portal offers no screen sharing: install the portal of your desktop "
                           "(xdg-desktop-portal-gnome, -kde or -wlr)");
        break;
    case Problem::NoAnswer:
        t = QStringLiteral("The desktop portal did not answer; choose the screen source again to retry");
        break;
    case Problem::Ended:
        t = QStringLiteral("Screen sharing ended; the last picture stays. Choose the screen source again to share anew");
        break;
    }
    if (!detail.isEmpty())
        t += QStringLiteral(" (%1)").arg(detail);
    return t;
}

void MFScreenCastEvents::report(Problem problem, const QString &detail)
{
    const QString t = text(problem, detail);
    qWarning().noquote() << "Screen sharing:" << t;
    emit instance().problemReported(int(problem), t);
}

QString MFScreenCastEvents::restoreToken()
{
    std::lock_guard<std::mutex> lock(tokenMutex);
    return storedToken;
}

void MFScreenCastEvents::setRestoreToken(const QString &token)
{
    std::lock_guard<std::mutex> lock(tokenMutex);
    storedToken = token;
}

void MFScreenCastEvents::storeRestoreToken(const QString &token)
{
    {
        std::lock_guard<std::mutex> lock(tokenMutex);
        if (token.isEmpty() || token == storedToken)
            return;
        storedToken = token;
    }
    emit instance().restoreTokenChanged(token);
}

void MFScreenCastEvents::announceStarted()
{
    emit instance().sharingStarted();
}

} // namespace mf
