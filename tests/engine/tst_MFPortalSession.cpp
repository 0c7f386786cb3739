#include "media/engine/MFPortalSession.h"
#include "tests/support/TestMain.h"

#include <QtDBus>

namespace {
// A desktop portal on the test's private bus that answers its requests the
// way a row says: with a response code, with nothing at all, or at another
// path than the one a client predicts.
class FakePortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes MEMBER sourceTypes CONSTANT)
    Q_PROPERTY(uint AvailableCursorModes MEMBER cursorModes CONSTANT)
    Q_PROPERTY(uint version MEMBER version CONSTANT)
public:
    uint sourceTypes = 1, cursorModes = 3, version = 4;
    int createResponse = -1;       // -1: never answers
    bool answerElsewhere = false;  // the request lives at a path of the portal's own
    QVariantMap lastOptions;
    QDBusConnection bus;

    explicit FakePortal(const QDBusConnection &connection) : bus(connection) {}

public slots:
    QDBusObjectPath CreateSession(const QVariantMap &options)
    {
        lastOptions = options;
        QString sender = message().service();
        sender.remove(0, 1).replace('.', '_');
        const QString path = answerElsewhere
                                 ? QStringLiteral("/org/freedesktop/portal/desktop/request/elsewhere/1")
                                 : QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2")
                                       .arg(sender, options.value("handle_token").toString());
        if (createResponse >= 0) {
            const uint code = uint(createResponse);
            // After the reply, as a portal does: the client may follow the path first.
            QTimer::singleShot(200, this, [this, path, code] {
                QDBusMessage signal = QDBusMessage::createSignal(path, "org.freedesktop.portal.Request", "Response");
                signal << code << QVariantMap();
                bus.send(signal);
            });
        }
        return QDBusObjectPath(path);
    }
};

} // namespace

// The portal session's requests against a portal that cancels, fails,
// never answers or answers elsewhere.
class TestMFPortalSession : public QObject
{
    Q_OBJECT
    std::unique_ptr<FakePortal> portal;
    QThread serverThread; // the client's blocking calls must not wait for its own thread
    QDBusConnection server = QDBusConnection::connectToBus(QDBusConnection::SessionBus, "fake-portal");

private slots:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("no session bus (the test runs under dbus-run-session)");
        QVERIFY(server.isConnected());
        portal = std::make_unique<FakePortal>(server);
        portal->moveToThread(&serverThread);
        serverThread.start();
        QVERIFY(server.registerObject("/org/freedesktop/portal/desktop", portal.get(),
                                      QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties));
        mf::MFPortalSession::setTimeouts(1500, 1500);
        QVERIFY(server.registerService("org.freedesktop.portal.Desktop"));
    }

    void probeReadsTheOffer()
    {
        const mf::MFPortalSession::Offer offer = mf::MFPortalSession::probe(2000);
        QVERIFY(offer.portal && offer.screenCast);
        QCOMPARE(QVector<uint>({offer.sourceTypes, offer.cursorModes, offer.version}), QVector<uint>({1, 3, 4}));
    }

    void outcome_data()
    {
        using P = mf::MFScreenCastEvents::Problem;
        const uint monitor = mf::MFPortalSession::Monitor;
        QTest::addColumn<int>("response");
        QTest::addColumn<bool>("elsewhere");
        QTest::addColumn<uint>("sourceType");
        QTest::addColumn<P>("problem");
        QTest::newRow("user cancelled") << 1 << false << monitor << P::Cancelled;
        QTest::newRow("portal failed") << 2 << false << monitor << P::Failed;
        QTest::newRow("never answers: bounded") << -1 << false << monitor << P::NoAnswer;
        QTest::newRow("answer at the returned path") << 1 << true << monitor << P::Cancelled;
        QTest::newRow("windows not offered") << 0 << false << uint(mf::MFPortalSession::Window) << P::Failed;
    }
    void outcome()
    {
        QFETCH(int, response);
        QFETCH(bool, elsewhere);
        QFETCH(uint, sourceType);
        QFETCH(mf::MFScreenCastEvents::Problem, problem);
        portal->createResponse = response;
        portal->answerElsewhere = elsewhere;
        mf::MFPortalSession session;
        QSignalSpy failed(&session, &mf::MFPortalSession::failed);
        session.open(sourceType, QString(), QString());
        QVERIFY(!failed.isEmpty() || failed.wait(5000));
        QCOMPARE(failed.size(), 1);
        QCOMPARE(failed.first().first().value<mf::MFScreenCastEvents::Problem>(), problem);
        // Nothing more arrives later (a timer or a late answer).
        QTest::qWait(1700);
        QCOMPARE(failed.size(), 1);
        if (sourceType == mf::MFPortalSession::Monitor)
            QVERIFY(portal->lastOptions.contains("handle_token") && portal->lastOptions.contains("session_handle_token"));
    }

    void cleanupTestCase()
    {
        serverThread.quit();
        serverThread.wait();
    }
};

ORVANTA_TEST_MAIN(TestMFPortalSession, TestMain::Core)
#include "tst_MFPortalSession.moc"
