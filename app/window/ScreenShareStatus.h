#pragma once
#include <QObject>
#include <QPointer>

class QSettings;
class QStatusBar;
class QWidget;

// Ties the desktop portal's screen sharing to the window: its problems go to
// the status line, the restore token it hands out to the settings (and back
// at the next start), and the window becomes the parent of its dialog.
class ScreenShareStatus : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMessageMs = 20000;

    ScreenShareStatus(QSettings *settings, QStatusBar *statusBar, QWidget *window);

private:
    QSettings *m_settings;
    QPointer<QStatusBar> m_statusBar;
};
