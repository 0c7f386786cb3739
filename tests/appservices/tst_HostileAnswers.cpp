#include "tests/support/BoxWatcher.h"
#include "tests/support/HttpFake.h"

#include "app/BoundedGet.h"
#include "app/LookupAnswer.h"
#include "app/NumberLookup.h"
#include "app/StreamLink.h"
#include "app/UpdateChecker.h"
#include "app/UpdateManifest.h"

#include <QApplication>
#include <QMessageBox>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Behaviour = HttpFake::Behaviour;

namespace {
const QString kNumber = "123-456-789";
const QString kLookupPath = "/api/srt/get_url/123-456-789";
const QString kManifestPath = "/downloads/orvanta_win.json";
// Short, so that a time-out per byte instead of per request would show.
const int kShortTimeoutMs = 1500;
// Generous: the sanitizer build on a busy machine.
const int kWaitMs = 60000;
const QString kNoAnswer = "No answer recieved from server.";
const QString kTooLarge = BoundedGet::kTooLargeText;
const QString kUnusable = LookupAnswer::kUnusableLink;

HttpFake::Answer canned(const QByteArray &body, int status = 200, const QByteArray &headers = {})
{
    HttpFake::Answer answer;
    answer.status = status;
    answer.body = body;
    answer.extraHeaders = headers;
    return answer;
}

HttpFake::Answer behaving(Behaviour behaviour, const QByteArray &body = {})
{
    HttpFake::Answer answer;
    answer.behaviour = behaviour;
    answer.body = body;
    return answer;
}

} // namespace

// The lookup and the update check against a server that answers as a
// hostile network would.
class TestHostileAnswers : public QObject
{
    Q_OBJECT
    QTemporaryDir configDir;

    struct LookupResult
    {
        bool answered = false;
        QString boxText;
        QString link;
    };

    LookupResult lookup(const QString &origin)
    {
        QWidget window;
        NumberLookup numberLookup(&window);
        numberLookup.setTimeout(kShortTimeoutMs);
        QSignalSpy finished(&numberLookup, &NumberLookup::replyFinished);
        QSignalSpy linked(&numberLookup, &NumberLookup::linkReceived);
        BoxWatcher watcher;
        LookupResult result;
        if (!numberLookup.request(origin, kNumber))
            return result;
        result.answered = QTest::qWaitFor([&] { return watcher.seen || !linked.isEmpty(); }, kWaitMs);
        QTest::qWait(20);
        result.boxText = watcher.text;
        if (!linked.isEmpty())
            result.link = linked.first().first().toString();
        return result;
    }

    struct UpdateResult
    {
        bool checked = false;
        bool boxSeen = false;
        QString text;
        int textFormat = -1;
    };

    UpdateResult update(const QString &manifestUrl)
    {
        QSettings settings(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
        settings.clear();
        QWidget window;
        UpdateChecker checker(&settings, &window);
        checker.setTimeout(kShortTimeoutMs);
        QSignalSpy checked(&checker, &UpdateChecker::checked);
        UpdateResult result;
        BoxWatcher watcher("Remind Later");
        checker.check(manifestUrl);
        result.checked = QTest::qWaitFor([&] { return !checked.isEmpty(); }, kWaitMs);
        watcher.stop();
        result.boxSeen = watcher.seen;
        result.text = watcher.text;
        result.textFormat = watcher.textFormat;
        return result;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(configDir.isValid());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, configDir.path());
    }

    void lookupStopsReadingAnOversizedAnswer_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::newRow("endless body") << int(Behaviour::Flood);
        QTest::newRow("300 MB announced") << int(Behaviour::DeclaredHuge);
    }

    void lookupStopsReadingAnOversizedAnswer()
    {
        QFETCH(int, behaviour);
        HttpFake server;
        server.setAnswer(kLookupPath, behaving(Behaviour(behaviour)));
        const LookupResult result = lookup(server.origin());
        QVERIFY(result.answered);
        QCOMPARE(result.boxText, kTooLarge);
        QVERIFY(result.link.isEmpty());
        // The client hung up long before the server ran out of bytes.
        QVERIFY(QTest::qWaitFor([&] { return server.connectionsCutByClient() == 1; }, kWaitMs));
        qInfo() << "body bytes sent before the client hung up:" << server.bodyBytesSent();
        QVERIFY2(server.bodyBytesSent() < HttpFake::kFloodLimit / 10,
                 qPrintable(QString::number(server.bodyBytesSent())));
    }

    void lookupAnswerOfExactlyTheLimitIsRead()
    {
        QByteArray body = "{\"url\":\"srt://127.0.0.1:9000/cam\",\"pad\":\"";
        body += QByteArray(BoundedGet::kMaxBodyBytes - body.size() - 2, 'x') + "\"}";
        QCOMPARE(body.size(), BoundedGet::kMaxBodyBytes);
        HttpFake server;
        server.setAnswer(kLookupPath, canned(body));
        QCOMPARE(lookup(server.origin()).link, QString("srt://127.0.0.1:9000/cam"));

        server.setAnswer(kLookupPath, canned(body + " "));
        QCOMPARE(lookup(server.origin()).boxText, kTooLarge);
    }

    void lookupTimeOutCoversTheWholeAnswer_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::newRow("one byte at a time") << int(Behaviour::Drip);
        QTest::newRow("no answer") << int(Behaviour::Silent);
    }

    void lookupTimeOutCoversTheWholeAnswer()
    {
        QFETCH(int, behaviour);
        HttpFake server;
        // Each byte comes well within the time-out; all of them would take
        // many times longer.
        QByteArray body = "{\"url\":\"srt://127.0.0.1:9000/cam\"}" + QByteArray(200, ' ');
        server.setAnswer(kLookupPath, behaving(Behaviour(behaviour), body));
        const LookupResult result = lookup(server.origin());
        QVERIFY(result.answered);
        QCOMPARE(result.boxText, kNoAnswer);
        QVERIFY(result.link.isEmpty());
        if (Behaviour(behaviour) == Behaviour::Drip) {
            QVERIFY(server.bodyBytesSent() > 0);
            QVERIFY(server.bodyBytesSent() < body.size());
        }
    }

    void lookupCompressedAnswerIsNotInflated()
    {
        // A deflate stream of a megabyte of blanks around a good answer: read
        // as it came, it is no JSON, and it is never inflated in memory.
        const QByteArray json = "{\"url\":\"srt://127.0.0.1:9000/cam\"}" + QByteArray(1 << 20, ' ');
        const QByteArray deflated = qCompress(json, 9).mid(4);
        QVERIFY(deflated.size() < BoundedGet::kMaxBodyBytes);
        HttpFake server;
        server.setAnswer(kLookupPath, canned(deflated, 200, "Content-Encoding: deflate\r\n"));
        const LookupResult result = lookup(server.origin());
        QCOMPARE(result.boxText, QString("Empty answer recieved from server."));
        QVERIFY(result.link.isEmpty());
    }

    void lookupRedirectIsNotFollowed()
    {
        HttpFake server;
        server.setAnswer(kLookupPath, canned("", 302, "Location: file:///etc/passwd\r\n"));
        QCOMPARE(lookup(server.origin()).boxText, kNoAnswer);
        QCOMPARE(server.requestedPaths().size(), 1);
    }

    void lookupRefusesLinksItCannotUse_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("boxText");
        QTest::newRow("number") << QByteArray("{\"url\":12345}") << kUnusable;
        QTest::newRow("text of digits") << QByteArray("{\"url\":\"12345\"}") << kUnusable;
        QTest::newRow("empty") << QByteArray("{\"url\":\"\"}") << kUnusable;
        QTest::newRow("null") << QByteArray("{\"url\":null}") << kUnusable;
        QTest::newRow("array") << QByteArray("{\"url\":[\"srt://h:1/s\"]}") << kUnusable;
        QTest::newRow("object") << QByteArray("{\"url\":{\"srt\":\"h:1\"}}") << kUnusable;
        QTest::newRow("javascript") << QByteArray("{\"url\":\"javascript:alert(1)\"}") << kUnusable;
        QTest::newRow("file") << QByteArray("{\"url\":\"file:///etc/passwd\"}") << kUnusable;
        QTest::newRow("no port") << QByteArray("{\"url\":\"srt://studio/cam\"}") << kUnusable;
        QTest::newRow("port 0") << QByteArray("{\"url\":\"srt://studio:0/cam\"}") << kUnusable;
        QTest::newRow("port 65536") << QByteArray("{\"url\":\"srt://studio:65536/cam\"}") << kUnusable;
        QTest::newRow("no host") << QByteArray("{\"url\":\"srt://:9000/cam\"}") << kUnusable;
        QTest::newRow("user part") << QByteArray("{\"url\":\"srt://a@studio:9000/cam\"}") << kUnusable;
        QTest::newRow("no stream") << QByteArray("{\"url\":\"srt://studio:9000/\"}") << kUnusable;
        QTest::newRow("empty scheme") << QByteArray("{\"url\":\"://studio:9000/cam\"}") << kUnusable;
        QTest::newRow("error number") << QByteArray("{\"error\":5,\"url\":\"srt://h:1/s\"}") << "Unknown error";
        QTest::newRow("good") << QByteArray("{\"url\":\"orvanta://Studio.example:9000/cam/2048/128/HD/dbl\"}")
                              << QString();
    }

    void lookupRefusesLinksItCannotUse()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, boxText);
        HttpFake server;
        server.setAnswer(kLookupPath, canned(body));
        const LookupResult result = lookup(server.origin());
        QVERIFY(result.answered);
        QCOMPARE(result.boxText, boxText);
        QCOMPARE(result.link.isEmpty(), !boxText.isEmpty());
    }

    void updateIgnoresOversizedAndSlowManifests_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::newRow("endless msg") << int(Behaviour::Flood);
        QTest::newRow("300 MB announced") << int(Behaviour::DeclaredHuge);
        QTest::newRow("one byte at a time") << int(Behaviour::Drip);
        QTest::newRow("no answer") << int(Behaviour::Silent);
    }

    void updateIgnoresOversizedAndSlowManifests()
    {
        QFETCH(int, behaviour);
        HttpFake server;
        server.setAnswer(kManifestPath,
                         behaving(Behaviour(behaviour), "{\"build\":99,\"url\":\"http://dl/99\"}" + QByteArray(200, ' ')));
        const UpdateResult result = update(server.origin() + kManifestPath);
        QVERIFY(result.checked);
        QVERIFY(!result.boxSeen);
        QVERIFY(server.bodyBytesSent() < HttpFake::kFloodLimit / 10);
    }

    void updateOffersOnlyWebLinks_data()
    {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<QString>("text");
        const QString link = "    <a href='%1' style='color:white;'>Download</a>";
        QTest::newRow("http from an http manifest")
            << QByteArray("{\"build\":99,\"msg\":\"New\",\"url\":\"http://dl.example/o.tar\"}")
            << "New" + link.arg("http://dl.example/o.tar");
        QTest::newRow("https") << QByteArray("{\"build\":99,\"msg\":\"New\",\"url\":\"https://dl.example/o\"}")
                               << "New" + link.arg("https://dl.example/o");
        QTest::newRow("file") << QByteArray("{\"build\":99,\"msg\":\"New\",\"url\":\"file:///tmp/payload.sh\"}")
                              << QString("New");
        QTest::newRow("javascript") << QByteArray("{\"build\":99,\"msg\":\"New\",\"url\":\"javascript:alert(1)\"}")
                                    << QString("New");
        QTest::newRow("relative") << QByteArray("{\"build\":99,\"msg\":\"New\",\"url\":\"payload.sh\"}")
                                  << QString("New");
        QTest::newRow("no host") << QByteArray("{\"build\":99,\"msg\":\"New\",\"url\":\"https:///x\"}")
                                 << QString("New");
        QTest::newRow("not text") << QByteArray("{\"build\":99,\"msg\":[1],\"url\":5}") << QString();
        QTest::newRow("quote in link")
            << QByteArray("{\"build\":99,\"msg\":\"\",\"url\":\"https://dl.example/a'href='file:///x\"}")
            << link.arg("https://dl.example/a&#39;href=&#39;file:///x");
        QTest::newRow("blank in link")
            << QByteArray("{\"build\":99,\"msg\":\"\",\"url\":\"https://dl.example/a' onclick='x\"}") << QString();
        QTest::newRow("markup in msg")
            << QByteArray("{\"build\":99,\"msg\":\"<a href='file:///x'>Fix</a>\\n<b>now</b>\",\"url\":\"\"}")
            << QString("&lt;a href=&#39;file:///x&#39;&gt;Fix&lt;/a&gt;<br>&lt;b&gt;now&lt;/b&gt;");
    }

    void updateOffersOnlyWebLinks()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(QString, text);
        HttpFake server;
        server.setAnswer(kManifestPath, canned(manifest));
        const UpdateResult result = update(server.origin() + kManifestPath);
        QVERIFY(result.checked);
        QVERIFY(result.boxSeen);
        QCOMPARE(result.text, text);
        QCOMPARE(result.textFormat, int(Qt::RichText));
    }

    void manifestLinkRules()
    {
        UpdateManifest manifest;
        manifest.url = "http://dl.example/o";
        QVERIFY(manifest.hasDownloadLink(QUrl("http://updates.example/m.json")));
        QVERIFY(!manifest.hasDownloadLink(QUrl("https://updates.example/m.json")));
        manifest.url = "https://dl.example/o";
        QVERIFY(manifest.hasDownloadLink(QUrl("https://updates.example/m.json")));
        manifest.url = "HTTPS://dl.example/o";
        QVERIFY(manifest.hasDownloadLink(QUrl("https://updates.example/m.json")));
        manifest.url = "ftp://dl.example/o";
        QVERIFY(!manifest.hasDownloadLink(QUrl("http://updates.example/m.json")));
    }

    void linkFields()
    {
        const StreamLink link("orvanta://h:9000/id/2048/128/HD/dBl/extra");
        QVERIFY(link.isLink());
        QCOMPARE(link.field(StreamLink::Server), QString("h:9000"));
        QCOMPARE(link.field(StreamLink::StreamId), QString("id"));
        QCOMPARE(link.field(StreamLink::VideoBitRate), QString("2048"));
        QCOMPARE(link.field(StreamLink::AudioBitRate), QString("128"));
        QCOMPARE(link.field(StreamLink::FrameName), QString("HD"));
        QVERIFY(link.twoFrames());
        QCOMPARE(link.field(6), QString("extra"));
        QCOMPARE(link.field(7), QString());
        QVERIFY(link.isUsable());

        // Only the first "://" counts.
        const StreamLink twice("a://h:1/x://y");
        QCOMPARE(twice.field(StreamLink::StreamId), QString("x:"));
        QVERIFY(!StreamLink("h:9000/id").isLink());
        QCOMPARE(StreamLink("h:9000/id").field(StreamLink::Server), QString());
        QVERIFY(!StreamLink("srt://h:1/s").twoFrames());
        QVERIFY(!StreamLink("srt://h:1/s/1/1/HD/DBLX").twoFrames());
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestHostileAnswers test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_HostileAnswers.moc"
