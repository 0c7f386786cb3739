#include "media/engine/MFPortalSource.h"
#include "media/engine/MFScreenCastEvents.h"

#include "tests/support/TestMain.h"

// Where a desktop area lies in a portal stream's picture, and the texts the
// user sees when sharing fails.
class TestMFPortalSource : public QObject
{
    Q_OBJECT
private slots:
    void areaInPicture_data()
    {
        QTest::addColumn<QRect>("area");
        QTest::addColumn<QPoint>("streamPos");
        QTest::addColumn<QSize>("streamSize");
        QTest::addColumn<QSize>("pictureSize");
        QTest::addColumn<QRect>("expected");
        const QSize hd(1280, 720);
        QTest::newRow("no area: the whole picture") << QRect() << QPoint() << hd << hd << QRect(0, 0, 1280, 720);
        QTest::newRow("area on the only monitor")
            << QRect(340, 160, 320, 200) << QPoint() << hd << hd << QRect(340, 160, 320, 200);
        QTest::newRow("second monitor right of the first")
            << QRect(1700, 100, 200, 100) << QPoint(1600, 0) << hd << hd << QRect(100, 100, 200, 100);
        QTest::newRow("monitor scaled 2x") << QRect(100, 50, 200, 100) << QPoint() << QSize(640, 360) << hd
                                            << QRect(200, 100, 400, 200);
        QTest::newRow("stream size unknown") << QRect(10, 20, 30, 40) << QPoint() << QSize() << hd
                                              << QRect(10, 20, 30, 40);
        QTest::newRow("area over the right edge is cut")
            << QRect(1200, 600, 200, 200) << QPoint() << hd << hd << QRect(1200, 600, 80, 120);
        QTest::newRow("area off the stream: the whole picture")
            << QRect(3000, 0, 100, 100) << QPoint() << hd << hd << QRect(0, 0, 1280, 720);
        QTest::newRow("monitor left of the origin")
            << QRect(-1000, 10, 100, 100) << QPoint(-1280, 0) << hd << hd << QRect(280, 10, 100, 100);
    }
    void areaInPicture()
    {
        QFETCH(QRect, area);
        QFETCH(QPoint, streamPos);
        QFETCH(QSize, streamSize);
        QFETCH(QSize, pictureSize);
        QFETCH(QRect, expected);
        QCOMPARE(mf::MFPortalSource::areaInPicture(area, streamPos, streamSize, pictureSize), expected);
    }

    void problemTexts_data()
    {
        using P = mf::MFScreenCastEvents::Problem;
        QTest::addColumn<P>("problem");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<QString>("contains");
        QTest::newRow("cancelled") << P::Cancelled << QString() << "the previous screen source stays";
        QTest::newRow("no portal says what to install") << P::NoPortal << QString() << "install xdg-desktop-portal";
        QTest::newRow("no screen cast names the backends")
            << P::NoScreenCast << QString() << "xdg-desktop-portal-gnome, -kde or -wlr";
        QTest::newRow("ended keeps the picture") << P::Ended << "stream paused" << "the last picture stays";
        QTest::newRow("detail in brackets") << P::Ended << "stream paused" << "(stream paused)";
        QTest::newRow("no answer") << P::NoAnswer << QString() << "did not answer";
    }
    void problemTexts()
    {
        QFETCH(mf::MFScreenCastEvents::Problem, problem);
        QFETCH(QString, detail);
        QFETCH(QString, contains);
        const QString text = mf::MFScreenCastEvents::text(problem, detail);
        QVERIFY2(text.contains(contains), qPrintable(text));
        QCOMPARE(text.endsWith(QStringLiteral(" (%1)").arg(detail)), !detail.isEmpty());
    }

    // Reported problems come as one log line and one signal each.
    void reportLogsOnceAndSignals()
    {
        QSignalSpy spy(&mf::MFScreenCastEvents::instance(), &mf::MFScreenCastEvents::problemReported);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Screen sharing: .*cancelled"));
        mf::MFScreenCastEvents::report(mf::MFScreenCastEvents::Problem::Cancelled);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.first().at(1).toString(),
                 mf::MFScreenCastEvents::text(mf::MFScreenCastEvents::Problem::Cancelled));
    }

    // A new token is announced once; the same again, or none, is not.
    void restoreTokenAnnouncedWhenNew()
    {
        QSignalSpy spy(&mf::MFScreenCastEvents::instance(), &mf::MFScreenCastEvents::restoreTokenChanged);
        mf::MFScreenCastEvents::setRestoreToken("a");
        mf::MFScreenCastEvents::storeRestoreToken("a");
        mf::MFScreenCastEvents::storeRestoreToken(QString());
        QCOMPARE(spy.size(), 0);
        mf::MFScreenCastEvents::storeRestoreToken("b");
        QCOMPARE(spy.size(), 1);
        QCOMPARE(mf::MFScreenCastEvents::restoreToken(), QString("b"));
    }
};

ORVANTA_TEST_MAIN(TestMFPortalSource, TestMain::Core)
#include "tst_MFPortalSource.moc"
