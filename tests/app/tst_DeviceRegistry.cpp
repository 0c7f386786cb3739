#include "app/DeviceRegistry.h"
#include "app/MainWindow.h"
#include "media/Mixer.h"
#include "tests/support/GuiHeartbeat.h"
#include "tests/support/TestMain.h"
#include "ui_MainWindow.h"

namespace {
constexpr int kWaitMs = 15000;
// A device look-up on the GUI thread takes far longer than this.
constexpr int kStallLimitMs = 250;
}

// The device registry looks the devices up off the GUI thread and tells only
// about a list that changed.
class TestDeviceRegistry : public QObject
{
    Q_OBJECT
private slots:
    void listsAreTheDevicesAndComeOffTheGuiThread()
    {
        QStringList video;
        QStringList audio;
        Mixer::enumerateDevices("VIDEO", video);
        Mixer::enumerateDevices("AUDIO", audio);

        GuiHeartbeat heartbeat;
        DeviceRegistry registry;
        QSignalSpy updated(&registry, &DeviceRegistry::updated);
        QVERIFY(!registry.isFilled());
        registry.refresh();
        registry.refresh();  // runs after the first one
        QTRY_COMPARE_WITH_TIMEOUT(updated.count(), 1, kWaitMs);
        QVERIFY(registry.isFilled());
        QCOMPARE(registry.videoDevices(), video);
        QCOMPARE(registry.audioDevices(), audio);
        QVERIFY2(heartbeat.longestStallMs() <= kStallLimitMs,
                 qPrintable(QString("GUI thread stalled %1 ms").arg(heartbeat.longestStallMs())));

        // The same devices again: nobody is told.
        registry.refresh();
        QTest::qWait(1000);
        QCOMPARE(updated.count(), 1);
    }

    void windowMenusFillOnceTheDevicesAreKnown()
    {
        MainWindow window(QString{});
        QMenu *videoMenu = window.form()->videoBtn->menu();
        QVERIFY(videoMenu);
        QTRY_VERIFY_WITH_TIMEOUT(!videoMenu->actions().isEmpty(), kWaitMs);
    }
};

ORVANTA_TEST_MAIN(TestDeviceRegistry, TestMain::Offscreen | TestMain::PrivateFolders)
#include "tst_DeviceRegistry.moc"
