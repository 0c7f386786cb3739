#include "media/DeviceSelection.h"
#include "media/Mixer.h"
#include "media/ScreenSource.h"

#include "tests/support/TestMain.h"

namespace {

QStringList messages;
QtMsgType lastType;

void capture(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    lastType = type;
    messages << text;
}

} // namespace

class TestDeviceSelection : public QObject
{
    Q_OBJECT
private slots:
    void matchesWholeNameCaseSensitively()
    {
        auto device = std::make_shared<mf::MFDevice>();
        QVERIFY(setMFDevice(device, mf::eMFDT_Video, "Test Pattern"));
        QCOMPARE(device->deviceSelected(mf::eMFDT_Video), QString("Test Pattern"));
        QVERIFY(!setMFDevice(device, mf::eMFDT_Video, "test pattern"));
        QVERIFY(!setMFDevice(device, mf::eMFDT_Video, "Test"));
        QVERIFY(!setMFDevice(device, mf::eMFDT_Video, "Test Pattern "));
        QCOMPARE(device->deviceSelected(mf::eMFDT_Video), QString("Test Pattern")); // previous stays
        QVERIFY(setMFDevice(device, mf::eMFDT_VideoAudio, "<No Audio>"));
        QVERIFY(!setMFDevice(nullptr, mf::eMFDT_Video, "Test Pattern"));
    }

    void failedCountIsReportedWithSignature()
    {
        auto device = std::make_shared<mf::MFDevice>();
        messages.clear();
        auto previous = qInstallMessageHandler(capture);
        const bool ok = setMFDevice(device, 9, "Test Pattern");
        qInstallMessageHandler(previous);
        QVERIFY(!ok);
        QCOMPARE(messages.size(), 1);
        QCOMPARE(lastType, QtCriticalMsg);
        QVERIFY2(messages[0].startsWith("bool setMFDevice(MFDevicePtr, int, const QString&)"), qPrintable(messages[0]));
        QVERIFY(messages[0].endsWith(" DeviceGetCount FAILED"));
    }

    void mixerOperationsAndTheirLog()
    {
        Mixer mixer;
        messages.clear();
        auto previous = qInstallMessageHandler(capture);
        const bool video = mixer.setVideoDevice("Test Pattern");
        const bool audio = mixer.setAudioDevice("NO_AUDIO");
        mixer.setSystemSound(true);
        const bool screen = mixer.setScreenDevice("Desktop Screen Capture", 1);
        qInstallMessageHandler(previous);
        QVERIFY(video);
        QVERIFY(screen);
        QCOMPARE(messages.value(0), QString("setVideoDevice: \"Test Pattern\" true"));
        QCOMPARE(messages.value(1), QString("set Internal AudioDevice to None: true"));
        // "NO_AUDIO" asks for "<None>", which exists only with a sound server.
        QCOMPARE(messages.value(2), QString("set External AudioDevices: \"<None>\" %1").arg(audio ? "true" : "false"));
        QVERIFY(messages.value(3).startsWith("-- add PC Sounds: "));
        QCOMPARE(messages.value(4), QString("SCREEN INDEX: 1"));
        QCOMPARE(mixer.screenSource()->device()->propertyGet("capture.screen_index"), QString("1"));
        QCOMPARE(mixer.device()->deviceSelected(mf::eMFDT_VideoAudio), QString("<No Audio>"));
    }

    void enumerationHidesInternalDevices()
    {
        QStringList list{"stale"};
        Mixer::enumerateDevices("VIDEO", list);
        QVERIFY(!list.contains("stale"));
        QVERIFY(!list.contains("Desktop Screen Capture"));
        QCOMPARE(list.last(), QString("Test Pattern"));
        Mixer::enumerateDevices("AUDIO", list);
        QVERIFY(!list.contains("<None>"));
        QVERIFY(!list.contains("Test Pattern"));
    }
};

ORVANTA_TEST_MAIN(TestDeviceSelection, TestMain::Gui)
#include "tst_DeviceSelection.moc"
