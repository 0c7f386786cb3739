#include "app/window/ScreenShareStatus.h"

#include "app/services/SettingsKeys.h"
#include "media/engine/MFScreenCast.h"
#include "media/engine/MFScreenCastEvents.h"

#include <QGuiApplication>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>
#include <QWidget>

ScreenShareStatus::ScreenShareStatus(QSettings *settings, QStatusBar *statusBar, QWidget *window)
    : QObject(window), m_settings(settings), m_statusBar(statusBar)
{
    auto &events = mf::MFScreenCastEvents::instance();
    mf::MFScreenCastEvents::setRestoreToken(m_settings->value(SettingsKeys::ScreenCastToken).toString());
    connect(&events, &mf::MFScreenCastEvents::restoreTokenChanged, this, [this](const QString &token) {
        m_settings->setValue(SettingsKeys::ScreenCastToken, token);
        m_settings->sync();
    });
    connect(&events, &mf::MFScreenCastEvents::problemReported, this, [this](int, const QString &text) {
        if (m_statusBar)
            m_statusBar->showMessage(text, kMessageMs);
    });
    connect(&events, &mf::MFScreenCastEvents::sharingStarted, this, [this] {
        if (m_statusBar)
            m_statusBar->clearMessage();
    });
    // The window's X11 id exists once it is shown; the portal's dialog then
    // opens over it.
    if (QGuiApplication::platformName() == QLatin1String("xcb"))
        QTimer::singleShot(0, window, [window] { mf::MFScreenCast::setParentWindow(window->winId()); });
}
