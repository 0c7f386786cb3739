#include <QGuiApplication>
#include <QImage>
#include <QtTest>

class TestResources : public QObject
{
    Q_OBJECT
private slots:
    void everyPictureLoads_data();
    void everyPictureLoads();
    void pointerTipIsAtHotSpot();
    void iconsHaveTransparentCorners();
};

void TestResources::everyPictureLoads_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::newRow("background") << ":/background" << QSize(1600, 1000);
    QTest::newRow("splash") << ":/splash" << QSize(1280, 720);
    QTest::newRow("connect") << ":/connect" << QSize(320, 240);
    QTest::newRow("camera") << ":/camera" << QSize(64, 64);
    QTest::newRow("screen") << ":/screen" << QSize(64, 64);
    QTest::newRow("microphone") << ":/microphone" << QSize(64, 64);
    QTest::newRow("rubber") << ":/rubber" << QSize(64, 64);
    QTest::newRow("arrowLeft") << ":/arrowLeft.png" << QSize(60, 46);
    QTest::newRow("arrowRight") << ":/arrowRight.png" << QSize(60, 46);
    QTest::newRow("pointer") << ":POINTER" << QSize(50, 100);
}

void TestResources::everyPictureLoads()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QVERIFY(QFile::exists(path));
    const QImage image(path);
    QVERIFY(!image.isNull());
    QCOMPARE(image.size(), size);
}

void TestResources::pointerTipIsAtHotSpot()
{
    const QImage pointer(":POINTER");
    // The pen's tip: opaque right at (40, 0..2), nothing above-left of it.
    int tipAlpha = 0;
    for (int y = 0; y < 3; ++y)
        tipAlpha = qMax(tipAlpha, qAlpha(pointer.pixel(40, y)));
    QVERIFY(tipAlpha > 0);
    QCOMPARE(qAlpha(pointer.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(pointer.pixel(49, 0)), 0);
    QCOMPARE(qAlpha(pointer.pixel(30, 0)), 0);
}

void TestResources::iconsHaveTransparentCorners()
{
    for (const char *path : {":/camera", ":/screen", ":/microphone", ":/rubber",
                             ":/arrowLeft.png", ":/arrowRight.png"}) {
        const QImage icon(QString::fromLatin1(path));
        QVERIFY2(icon.hasAlphaChannel(), path);
        QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(icon.pixel(icon.width() - 1, icon.height() - 1)), 0);
    }
    // The pictures behind the forms are opaque.
    for (const char *path : {":/background", ":/splash", ":/connect"}) {
        const QImage picture(QString::fromLatin1(path));
        QCOMPARE(qAlpha(picture.pixel(0, 0)), 255);
    }
}

QTEST_GUILESS_MAIN(TestResources)
#include "tst_Resources.moc"
