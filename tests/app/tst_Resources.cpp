#include "tests/support/TestMain.h"

// The pictures the program draws with: their sizes, and transparency where
// they lie over other pictures.
class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void everyPictureLoads_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("icon"); // transparent corners, or an opaque picture
        QTest::newRow("background") << ":/background" << QSize(1600, 1000) << false;
        QTest::newRow("splash") << ":/splash" << QSize(1280, 720) << false;
        QTest::newRow("connect") << ":/connect" << QSize(320, 240) << false;
        QTest::newRow("camera") << ":/camera" << QSize(64, 64) << true;
        QTest::newRow("screen") << ":/screen" << QSize(64, 64) << true;
        QTest::newRow("microphone") << ":/microphone" << QSize(64, 64) << true;
        QTest::newRow("rubber") << ":/rubber" << QSize(64, 64) << true;
        QTest::newRow("arrowLeft") << ":/arrowLeft.png" << QSize(60, 46) << true;
        QTest::newRow("arrowRight") << ":/arrowRight.png" << QSize(60, 46) << true;
    }

    void everyPictureLoads()
    {
        QFETCH(QString, path);
        QFETCH(bool, icon);
        const QImage image(path);
        QTEST(image.size(), "size");
        QCOMPARE(qAlpha(image.pixel(0, 0)), icon ? 0 : 255);
        if (icon) {
            QVERIFY(image.hasAlphaChannel());
            QCOMPARE(qAlpha(image.pixel(image.width() - 1, image.height() - 1)), 0);
        }
    }

    void pointerTipIsAtHotSpot()
    {
        const QImage pointer(":POINTER");
        QCOMPARE(pointer.size(), QSize(50, 100));
        // The pen's tip: opaque right at (40, 0..2), nothing above-left of it.
        int tipAlpha = 0;
        for (int y = 0; y < 3; ++y)
            tipAlpha = qMax(tipAlpha, qAlpha(pointer.pixel(40, y)));
        QVERIFY(tipAlpha > 0);
        for (int x : {0, 30, 49})
            QCOMPARE(qAlpha(pointer.pixel(x, 0)), 0);
    }
};

ORVANTA_TEST_MAIN(TestResources, TestMain::Core)
#include "tst_Resources.moc"
