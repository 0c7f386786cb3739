#include "tests/support/BoxWatcher.h"
#include "tests/support/HttpFake.h"

#include "app/NumberLookup.h"
#include "app/UpdateChecker.h"

#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
const QString kNumber = "123-456-789";
const QString kLookupPath = "/api/srt/get_url/123-456-789";
const int kWaitMs = 10000;
} // namespace

class TestNetworkServices : public QObject
{
    Q_OBJECT

    struct LookupResult
    {
        bool answered = false;
        bool boxSeen = false;
        QString boxText;
        QString link;
        int finishedCount = 0;
    };

    LookupResult lookup(const QString &origin, const QString &number = kNumber)
    {
        QWidget window;
        NumberLookup numberLookup(&window);
        QSignalSpy finished(&numberLookup, &NumberLookup::replyFinished);
        QSignalSpy linked(&numberLookup, &NumberLookup::linkReceived);
        BoxWatcher watcher;
        const bool sent = numberLookup.request(origin, number);
        const bool answered = sent && QTest::qWaitFor([&] { return watcher.seen || linked.count() > 0; }, kWaitMs);
        // Let a box that was just answered return from its event loop.
        QTest::qWait(20);
        LookupResult result;
        result.answered = answered;
        result.boxSeen = watcher.seen;
        result.boxText = watcher.text;
        result.finishedCount = finished.count();
        if (!linked.isEmpty())
            result.link = linked.first().first().toString();
        if (watcher.seen) {
            [&] {
                QCOMPARE(watcher.title, QString("Error"));
                QCOMPARE(watcher.icon, int(QMessageBox::Critical));
                QCOMPARE(watcher.standardButtons, int(QMessageBox::Ok));
                QCOMPARE(watcher.buttons.size(), 1);
                QCOMPARE(watcher.parent, &window);
            }();
        }
        return result;
    }

    QTemporaryDir configDir;

    std::unique_ptr<QSettings> freshSettings()
    {
        return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
    }

    // Runs one update check against the stub's manifest; the watcher answers a box.
    bool runUpdate(HttpFake &server, BoxWatcher &watcher)
    {
        auto settings = freshSettings();
        QWidget window;
        UpdateChecker checker(settings.get(), &window);
        QSignalSpy checked(&checker, &UpdateChecker::checked);
        checker.check(server.origin() + "/downloads/orvanta_win.json");
        const bool done = checked.wait(kWaitMs) || !checked.isEmpty();
        watcher.stop();
        if (!done)
            return false;
        if (watcher.seen && watcher.parent != &window)
            return false;
        return true;
    }

    int storedSkip()
    {
        QSettings file(freshSettings()->fileName(), QSettings::IniFormat);
        return file.contains("SKIP_UPDATE") ? file.value("SKIP_UPDATE").toInt() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(configDir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configDir.path());
    }

    void lookupReplies_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("boxText");
        QTest::addColumn<QString>("link");

        const QString noAnswer = "No answer recieved from server.";
        const QString empty = "Empty answer recieved from server.";
        QTest::newRow("404") << 404 << QByteArray("{\"url\":\"srt://h:1/s\"}") << noAnswer << QString();
        QTest::newRow("500") << 500 << QByteArray("oops") << noAnswer << QString();
        QTest::newRow("not json") << 200 << QByteArray("<html>hi</html>") << empty << QString();
        QTest::newRow("empty body") << 200 << QByteArray() << empty << QString();
        QTest::newRow("empty object") << 200 << QByteArray("{}") << empty << QString();
        QTest::newRow("array") << 200 << QByteArray("[\"srt://h:1/s\"]") << empty << QString();
        QTest::newRow("url and error") << 200 << QByteArray("{\"url\":\"srt://h:1/s\",\"error\":\"Number expired\"}")
                                       << "Number expired" << QString();
        QTest::newRow("state false") << 200 << QByteArray("{\"state\":\"false\",\"url\":\"srt://h:1/s\"}")
                                     << "Unknown error" << QString();
        QTest::newRow("empty error") << 200 << QByteArray("{\"error\":\"\"}") << "Unknown error" << QString();
        QTest::newRow("no url") << 200 << QByteArray("{\"state\":\"true\"}") << "Unknown error" << QString();
        QTest::newRow("state true") << 200 << QByteArray("{\"state\":\"true\",\"url\":\"srt://h:1/s/2048/128/HD/DBL\"}")
                                    << QString() << "srt://h:1/s/2048/128/HD/DBL";
        QTest::newRow("state absent") << 200 << QByteArray("{\"url\":\"srt://h:1/s\"}") << QString() << "srt://h:1/s";
        QTest::newRow("state bool false") << 200 << QByteArray("{\"state\":false,\"url\":\"srt://h:1/s\"}")
                                          << QString() << "srt://h:1/s";
    }

    void lookupReplies()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, boxText);
        QFETCH(QString, link);
        HttpFake server;
        server.setReply(kLookupPath, status, body);
        const LookupResult result = lookup(server.origin());
        QVERIFY(result.answered);
        QCOMPARE(server.requestedPaths(), QStringList{kLookupPath});
        QCOMPARE(result.finishedCount, 1);
        QCOMPARE(result.boxText, boxText);
        QCOMPARE(result.link, link);
    }

    void lookupWithoutServerOrOrigin()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString refusedOrigin = QString("http://127.0.0.1:%1").arg(closed.serverPort());
        closed.close();
        LookupResult result = lookup(refusedOrigin);
        QCOMPARE(result.boxText, QString("No answer recieved from server."));
        QCOMPARE(result.finishedCount, 1);

        result = lookup(QString());
        QCOMPARE(result.boxText, QString("No answer recieved from server."));
        QCOMPARE(result.finishedCount, 1);
    }

    void invalidNumberSendsNothing()
    {
        HttpFake server;
        for (const QString &number : {QString("123-45_-___"), QString(), QString("123456789")}) {
            QWidget window;
            NumberLookup numberLookup(&window);
            QSignalSpy finished(&numberLookup, &NumberLookup::replyFinished);
            BoxWatcher watcher;
            QVERIFY(!numberLookup.request(server.origin(), number));
            QVERIFY(watcher.seen);
            QCOMPARE(watcher.text, QString("Invalid number."));
            QCOMPARE(watcher.title, QString("Error"));
            QTest::qWait(20);
            QCOMPARE(finished.count(), 0);
        }
        QVERIFY(server.requestedPaths().isEmpty());
        // Unanchored, as typed: surrounding text does not matter.
        QVERIFY(NumberLookup::isValidNumber(" 123-456-789 "));
    }

    void networkErrorWithStatus200ShowsItsText()
    {
        const NumberLookup::Outcome outcome = NumberLookup::evaluate(
            200, QNetworkReply::RemoteHostClosedError, "Connection closed", "{\"url\":\"srt://h:1/s\"}");
        QVERIFY(!outcome.ok);
        QCOMPARE(outcome.errorMessage, QString("Connection closed"));
    }

    void updateOfferAndSkip()
    {
        const QString path = "/downloads/orvanta_win.json";
        HttpFake server;
        QCOMPARE(storedSkip(), -1);

        server.setReply(path, 200, "{\"build\":22,\"msg\":\"Same\",\"url\":\"http://dl/x\"}");
        BoxWatcher none;
        QVERIFY(runUpdate(server, none));
        QVERIFY(!none.seen);

        server.setReply(path, 200, "{\"build\":23,\"msg\":\"<b>New</b>\",\"url\":\"http://dl/23\"}");
        BoxWatcher later("Remind Later");
        QVERIFY(runUpdate(server, later));
        QVERIFY(later.seen);
        QCOMPARE(later.title, QString("Update Info"));
        // The manifest's markup shows as text; the link is the program's own.
        QCOMPARE(later.text, QString("&lt;b&gt;New&lt;/b&gt;    <a href='http://dl/23' style='color:white;'>Download</a>"));
        QCOMPARE(later.icon, int(QMessageBox::Information));
        QCOMPARE(later.buttons, (QStringList{"Skip this update", "Remind Later"}));
        QCOMPARE(later.defaultButton, QString("Remind Later"));
        QCOMPARE(storedSkip(), -1);

        BoxWatcher closed;
        QVERIFY(runUpdate(server, closed));
        QVERIFY(closed.seen);
        QCOMPARE(storedSkip(), -1);

        BoxWatcher skip("Skip this update");
        QVERIFY(runUpdate(server, skip));
        QVERIFY(skip.seen);
        QCOMPARE(storedSkip(), 23);

        BoxWatcher skipped;
        QVERIFY(runUpdate(server, skipped));
        QVERIFY(!skipped.seen);

        server.setReply(path, 200, "{\"build\":24,\"msg\":\"\",\"url\":\"http://dl/24\"}");
        BoxWatcher newer;
        QVERIFY(runUpdate(server, newer));
        QVERIFY(newer.seen);
        QCOMPARE(newer.text, QString("    <a href='http://dl/24' style='color:white;'>Download</a>"));
        QCOMPARE(storedSkip(), 23);
        QCOMPARE(server.requestedPaths().size(), 6);
    }

    void updateFailuresShowNothing()
    {
        const QString path = "/downloads/orvanta_win.json";
        HttpFake server;
        for (const auto &reply : {qMakePair(404, QByteArray("{\"build\":99}")),
                                  qMakePair(200, QByteArray("build=99")),
                                  qMakePair(200, QByteArray("{\"build\":\"99\"}"))}) {
            server.setReply(path, reply.first, reply.second);
            BoxWatcher watcher;
            QVERIFY(runUpdate(server, watcher));
            QVERIFY2(!watcher.seen, reply.second.constData());
        }

        auto settings = freshSettings();
        UpdateChecker checker(settings.get(), nullptr);
        QSignalSpy checked(&checker, &UpdateChecker::checked);
        checker.check(QString());
        QTest::qWait(50);
        QCOMPARE(checked.count(), 0);
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestNetworkServices test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_NetworkServices.moc"
