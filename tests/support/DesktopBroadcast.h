#pragma once
// The desktop suites' side of a broadcast: the main window's form driven as a user does, a studio
// of its own and its last picture. Header only (the support libraries do not link Qt Widgets).
#include "app/session/BroadcastSession.h"
#include "app/window/MainWindow.h"
#include "app/window/PageSwitcher.h"
#include "overlay/WCapture.h"
#include "tests/support/PictureChecks.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/WindowForm.h"

#include <QtTest>
#include <QtWidgets>

#include <memory>

class DesktopBroadcast
{
public:
    static constexpr int kWaitMs = 20000;
    std::unique_ptr<StudioProcess> studio;
    std::unique_ptr<MainWindow> window;
    std::unique_ptr<WindowForm> ui; // the window's widgets, once there is a window

    // The studio, and the settings of a screen broadcast of this source.
    bool startStudio(const QString &screen)
    {
        QSettings store(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
        store.setValue("MODE", "SCREEN");
        store.setValue("FRAME", "SD");
        store.setValue("VSOURCE", "Test Pattern");
        store.setValue("VBR", 2048);
        store.setValue("SCREEN", screen);
        store.sync();
        studio = std::make_unique<StudioProcess>();
        if (!studio->start())
            qWarning() << studio->output();
        return studio->srtPort() != 0;
    }

    QMenu *screenMenu() const { return ui->screenBtn->menu(); }
    QAction *screenEntry(const QString &text, bool inWindowsMenu = false) const
    {
        emit screenMenu()->aboutToShow();
        QMenu *menu = inWindowsMenu ? windowsMenu() : screenMenu();
        for (QAction *action : menu ? menu->actions() : QList<QAction *>())
            if (action->text() == text)
                return action;
        return nullptr;
    }
    QMenu *windowsMenu() const
    {
        for (QAction *action : screenMenu()->actions())
            if (action->menu())
                return action->menu();
        return nullptr;
    }
    void choose(QAction *action) const { emit screenMenu()->triggered(action); }
    static WCapture *findCapture()
    {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *c = qobject_cast<WCapture *>(w))
                return c;
        return nullptr;
    }

    BroadcastSession::State sessionState() const { return window->findChild<BroadcastSession *>()->state(); }

    // Seconds of pictures the studio has recorded of this ID so far; -1 before two.
    double recordedSeconds(const QString &id) const
    {
        const QString file = studio->recordFile(id);
        return file.isEmpty() ? -1 : pictureSeconds(file);
    }
    // Until the recording holds pictures of this many seconds more than when called: those
    // pictures were composed after the call (bytes are no clock: one key frame may bring more
    // than a second's worth).
    bool recordMore(const QString &id, double seconds, int timeoutMs = kWaitMs) const
    {
        const double from = qMax(0.0, recordedSeconds(id));
        return QTest::qWaitFor([&] { return recordedSeconds(id) >= from + seconds; }, timeoutMs);
    }

    // Live (before, the relay sends only stuffing), then recorded pictures.
    bool startLive(const QString &id)
    {
        ui->txtURL->setText(QStringLiteral("127.0.0.1:%1").arg(studio->srtPort()));
        ui->txtStreamID->setText(id);
        ui->cmdStart->click();
        if (!QTest::qWaitFor([&] { return sessionState() == BroadcastSession::State::Live; }, kWaitMs)) {
            qWarning() << "the session did not go live for" << id << "but is" << sessionState();
            return false;
        }
        return QTest::qWaitFor([&] { return recordedSeconds(id) > 0; }, kWaitMs);
    }

    // Stop, and once the session wound down (on its thread) the finished recording's last picture.
    QImage stopAndTakeLastPicture(const QString &id)
    {
        ui->stopBtn->click();
        if (sessionState() != BroadcastSession::State::Stopped
            || !QTest::qWaitFor([&] { return !window->findChild<BroadcastSession *>()->isWinding(); }, kWaitMs)
            || studio->recording(id, kWaitMs).isEmpty()) {
            qWarning() << "no finished recording of" << id;
            return {};
        }
        return lastPicture(studio->recordFile(id));
    }

    // A broadcast long enough for its last picture (or null) to show the scene as it is now:
    // this many seconds of pictures recorded after it went live.
    QImage broadcast(const QString &id, double seconds = 2.5)
    {
        const bool live = startLive(id) && recordMore(id, seconds);
        const QImage last = stopAndTakeLastPicture(id);
        return live ? last : QImage();
    }

    // Where a point of an area of this size lands in the 960 x 540 picture it is fitted into, centred.
    static QPoint inPicture(const QSize &area, const QPoint &p)
    {
        const double scale = qMin(960.0 / area.width(), 540.0 / area.height());
        return QPoint(qRound((960 - area.width() * scale) / 2 + p.x() * scale),
                      qRound((540 - area.height() * scale) / 2 + p.y() * scale));
    }

    static bool run(const QString &program, const QStringList &arguments, QByteArray *out = nullptr)
    {
        QProcess process;
        process.start(program, arguments);
        const bool ok = process.waitForFinished(kWaitMs) && process.exitStatus() == QProcess::NormalExit
                        && process.exitCode() == 0;
        if (out)
            *out = process.readAllStandardOutput();
        return ok;
    }
};
