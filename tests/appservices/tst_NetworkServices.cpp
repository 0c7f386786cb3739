#include "app/BoundedGet.h"
#include "app/LookupAnswer.h"
#include "app/MainWindow.h"
#include "app/NumberLookup.h"
#include "app/StreamLink.h"
#include "app/TLabel.h"
#include "app/TNumberEdit.h"
#include "app/UpdateChecker.h"
#include "app/UpdateManifest.h"
#include "ui_MainWindow.h"

#include "tests/support/BoxWatcher.h"
#include "tests/support/HttpFake.h"
#include "tests/support/TestMain.h"

using Behaviour = HttpFake::Behaviour;
Q_DECLARE_METATYPE(HttpFake::Answer)

namespace {
const QString kNumber = "123-456-789";
const QString kLookupPath = "/api/srt/get_url/123-456-789";
const QString kManifestPath = "/downloads/orvanta_win.json";
// Short, so that a time-out per byte instead of per request would show.
const int kShortTimeoutMs = 1500;
// Generous: the sanitizer build on a busy machine.
const int kWaitMs = 60000;
const QString kNoAnswer = LookupAnswer::kNoAnswer;
const QString kEmpty = LookupAnswer::kEmptyAnswer;
const QString kUnknown = LookupAnswer::kUnknownError;
const QString kUnusable = LookupAnswer::kUnusableLink;
const QString kTooLarge = BoundedGet::kTooLargeText;
const QString kDownload = "    <a href='%1' style='color:white;'>Download</a>";
} // namespace

// The number lookup, the update check and the window's wiring of them,
// against good, broken and hostile servers on loopback.
class TestNetworkServices : public QObject
{
    Q_OBJECT

    int storedSkip() { return QSettings(TestMain::settingsFile(), QSettings::IniFormat).value("SKIP_UPDATE", -1).toInt(); }

    // One update check; the watcher answers the offer, if one comes.
    std::unique_ptr<BoxWatcher> runUpdate(HttpFake &server, const QString &button = {})
    {
        QSettings store(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
        QWidget window;
        UpdateChecker checker(&store, &window);
        checker.setTimeout(kShortTimeoutMs);
        QSignalSpy checked(&checker, &UpdateChecker::checked);
        auto watcher = std::make_unique<BoxWatcher>(button);
        checker.check(server.origin() + kManifestPath);
        const bool done = QTest::qWaitFor([&] { return !checked.isEmpty(); }, kWaitMs);
        watcher->stop();
        if (!done || checked.count() != 1 || (watcher->seen && watcher->parent != &window))
            return nullptr;
        return watcher;
    }

private slots:
    // What the lookup makes of a reply's status, error and body.
    void lookupAnswer_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("error");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("url");
        auto row = [](const char *name, const QByteArray &body, const QString &message, const QString &url = {},
                      int status = 200, int error = QNetworkReply::NoError) {
            QTest::newRow(name) << status << error << body << message << url;
        };
        const QByteArray good = "{\"url\":\"srt://h:1/s\"}";
        row("404", good, kNoAnswer, {}, 404, QNetworkReply::ContentNotFoundError);
        row("200 and a network error", good, "Connection closed", {}, 200, QNetworkReply::RemoteHostClosedError);
        row("not json", "<html>hi</html>", kEmpty);
        row("empty object", "{}", kEmpty);
        row("array", "[\"srt://h:1/s\"]", kEmpty);
        row("url and error", "{\"url\":\"srt://h:1/s\",\"error\":\"Number expired\"}", "Number expired");
        row("state false", "{\"state\":\"false\",\"url\":\"srt://h:1/s\"}", kUnknown);
        row("error number", "{\"error\":5,\"url\":\"srt://h:1/s\"}", kUnknown);
        row("no url", "{\"state\":\"true\"}", kUnknown);
        row("state true", "{\"state\":\"true\",\"url\":\"srt://h:1/s/2/1/HD/DBL\"}", {}, "srt://h:1/s/2/1/HD/DBL");
        row("state bool false", "{\"state\":false,\"url\":\"srt://h:1/s\"}", {}, "srt://h:1/s");
        row("other scheme", "{\"url\":\"orvanta://Studio.example:9000/cam/2048/128/HD/dbl\"}", {},
            "orvanta://Studio.example:9000/cam/2048/128/HD/dbl");
        row("url number", "{\"url\":12345}", kUnusable);
        row("url array", "{\"url\":[\"srt://h:1/s\"]}", kUnusable);
        // Each breaks one rule of the link's scheme, server, port or stream.
        for (const char *url : {"javascript:alert(1)", "file:///etc/passwd", "s rt://studio:9000/cam",
                                "1srt://studio:9000/cam", "://studio:9000/cam", "srt://studio/cam",
                                "srt://studio:0/cam", "srt://studio:65536/cam", "srt://:9000/cam",
                                "srt://a@studio:9000/cam", "srt://studio:9000/", "srt://studio:9000/ /1"})
            row(url, "{\"url\":\"" + QByteArray(url) + "\"}", kUnusable);
    }

    void lookupAnswer()
    {
        QFETCH(int, status);
        QFETCH(int, error);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        QFETCH(QString, url);
        const LookupAnswer answer =
            NumberLookup::evaluate(status, QNetworkReply::NetworkError(error), "Connection closed", body);
        QCOMPARE(answer.ok, message.isEmpty());
        QCOMPARE(answer.errorMessage, message);
        QCOMPARE(answer.url, url);
    }

    // What only a real request shows: size and time limits, redirects,
    // compression, refused connections, and the box that tells the user.
    void lookupOverHttp_data()
    {
        QTest::addColumn<HttpFake::Answer>("answer");
        QTest::addColumn<QString>("origin"); // empty: the fake server's
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("number");
        auto row = [](const char *name, const HttpFake::Answer &answer, const QString &box, const QString &link = {},
                      const QString &origin = {}, const QString &number = kNumber) {
            QTest::newRow(name) << answer << origin << box << link << number;
        };
        const QByteArray good = "{\"url\":\"srt://127.0.0.1:9000/cam\"}";
        const QString link = "srt://127.0.0.1:9000/cam";
        QByteArray full = good.chopped(1) + ",\"pad\":\"";
        full += QByteArray(BoundedGet::kMaxBodyBytes - full.size() - 2, 'x') + "\"}";
        // A megabyte of blanks around a good answer, deflated: read as it came
        // it is no JSON, and it is never inflated in memory.
        const QByteArray deflated = qCompress(good + QByteArray(1 << 20, ' '), 9).mid(4);
        const QByteArray slow = good + QByteArray(200, ' ');
        row("good", {Behaviour::Canned, 200, good, {}}, {}, link);
        row("404", {Behaviour::Canned, 404, good, {}}, kNoAnswer);
        row("exactly the limit", {Behaviour::Canned, 200, full, {}}, {}, link);
        row("one byte more", {Behaviour::Canned, 200, full + " ", {}}, kTooLarge);
        row("endless body", {Behaviour::Flood, 200, {}, {}}, kTooLarge);
        row("300 MB announced", {Behaviour::DeclaredHuge, 200, {}, {}}, kTooLarge);
        row("one byte at a time", {Behaviour::Drip, 200, slow, {}}, kNoAnswer);
        row("no answer", {Behaviour::Silent, 200, slow, {}}, kNoAnswer);
        row("deflated", {Behaviour::Canned, 200, deflated, "Content-Encoding: deflate\r\n"}, kEmpty);
        row("redirect", {Behaviour::Canned, 302, {}, "Location: ORIGIN/elsewhere\r\n"}, kNoAnswer);
        row("connection refused", {}, kNoAnswer, {}, "closed");
        row("no origin", {}, kNoAnswer, {}, "none");
        // Nothing is sent for what is no number.
        row("number with gaps", {}, "Invalid number.", {}, {}, "123-45_-___");
        row("number without dashes", {}, "Invalid number.", {}, {}, "123456789");
    }

    void lookupOverHttp()
    {
        QFETCH(HttpFake::Answer, answer);
        QFETCH(QString, origin);
        QFETCH(QString, box);
        QFETCH(QString, link);
        QFETCH(QString, number);
        const bool valid = box != "Invalid number.";
        HttpFake server;
        answer.extraHeaders.replace("ORIGIN", server.origin().toLatin1());
        server.setAnswer(kLookupPath, answer);
        server.setReply("/elsewhere", 200, "{\"url\":\"srt://127.0.0.1:9000/cam\"}"); // where a redirect leads
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        closed.close();
        const QString closedOrigin = QString("http://127.0.0.1:%1").arg(closed.serverPort());
        origin = origin.isEmpty() ? server.origin() : origin == "closed" ? closedOrigin : QString();

        QWidget window;
        NumberLookup lookup(&window);
        lookup.setTimeout(kShortTimeoutMs);
        QSignalSpy finished(&lookup, &NumberLookup::replyFinished);
        QSignalSpy linked(&lookup, &NumberLookup::linkReceived);
        BoxWatcher watcher;
        QCOMPARE(lookup.request(origin, number), valid);
        QVERIFY(QTest::qWaitFor([&] { return watcher.seen || !linked.isEmpty(); }, kWaitMs));
        QTest::qWait(20); // lets a box just answered return from its event loop
        QCOMPARE(finished.count(), valid ? 1 : 0);
        QCOMPARE(watcher.text, box);
        QCOMPARE(linked.isEmpty() ? QString() : linked.first().first().toString(), link);
        if (watcher.seen) {
            QCOMPARE(watcher.title, QString("Error"));
            QCOMPARE(watcher.icon, int(QMessageBox::Critical));
            QCOMPARE(watcher.standardButtons, int(QMessageBox::Ok));
            QCOMPARE(watcher.parent, &window);
        }
        QCOMPARE(server.requestedPaths(), origin == server.origin() && valid ? QStringList{kLookupPath} : QStringList());
        QVERIFY(server.bodyBytesSent() < HttpFake::kFloodLimit / 10);
        if (answer.behaviour == Behaviour::Flood || answer.behaviour == Behaviour::DeclaredHuge) // hung up on it
            QVERIFY(QTest::qWaitFor([&] { return server.connectionsCutByClient() == 1; }, kWaitMs));
        if (answer.behaviour == Behaviour::Drip)
            QVERIFY(server.bodyBytesSent() > 0 && server.bodyBytesSent() < answer.body.size());
    }

    void linkFieldsAndNumbers()
    {
        const StreamLink link("orvanta://h:9000/id/2048/128/HD/dBl/extra");
        QVERIFY(link.isLink() && link.isUsable() && link.twoFrames());
        QCOMPARE(QStringList({link.field(StreamLink::Server), link.field(StreamLink::StreamId),
                              link.field(StreamLink::VideoBitRate), link.field(StreamLink::AudioBitRate),
                              link.field(StreamLink::FrameName), link.field(6), link.field(7)}),
                 QStringList({"h:9000", "id", "2048", "128", "HD", "extra", ""}));
        QCOMPARE(StreamLink("a://h:1/x://y").field(StreamLink::StreamId), QString("x:")); // only the first "://"
        QVERIFY(!StreamLink("h:9000/id").isLink());
        QCOMPARE(StreamLink("h:9000/id").field(StreamLink::Server), QString());
        QVERIFY(!StreamLink("srt://h:1/s").twoFrames());
        QVERIFY(!StreamLink("srt://h:1/s/1/1/HD/DBLX").twoFrames());
        QVERIFY(NumberLookup::isValidNumber(" 123-456-789 ")); // surrounding text does not matter
    }

    // The offer's text: the manifest's texts as plain text, and only a web
    // link no less safe than the manifest itself.
    void updateOfferText_data()
    {
        QTest::addColumn<QByteArray>("manifest");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("text");
        const QString http = "http://updates.example/m.json", https = "https://updates.example/m.json";
        auto row = [](const char *name, const QString &url, const QString &from, const QString &text) {
            QTest::newRow(name) << "{\"build\":99,\"msg\":\"New\",\"url\":\"" + url.toLatin1() + "\"}" << from << text;
        };
        row("http from http", "http://dl.example/o.tar", http, "New" + kDownload.arg("http://dl.example/o.tar"));
        row("http from https", "http://dl.example/o", https, "New");
        row("https", "https://dl.example/o", https, "New" + kDownload.arg("https://dl.example/o"));
        row("HTTPS", "HTTPS://dl.example/o", https, "New" + kDownload.arg("HTTPS://dl.example/o"));
        row("ftp", "ftp://dl.example/o", http, "New");
        row("javascript", "javascript:alert(1)", http, "New");
        row("blank in link", "https://dl.example/a' onclick='x", http, "New");
        row("quote in link", "https://dl.example/a'href='file:///x", http,
            "New" + kDownload.arg("https://dl.example/a&#39;href=&#39;file:///x"));
        QTest::newRow("not text") << QByteArray("{\"build\":99,\"msg\":[1],\"url\":5}") << http << QString();
        QTest::newRow("markup in msg")
            << QByteArray("{\"build\":99,\"msg\":\"<a href='file:///x'>Fix</a>\\n<b>now</b>\",\"url\":\"\"}") << http
            << QString("&lt;a href=&#39;file:///x&#39;&gt;Fix&lt;/a&gt;<br>&lt;b&gt;now&lt;/b&gt;");
    }

    void updateOfferText()
    {
        QFETCH(QByteArray, manifest);
        QFETCH(QString, from);
        QFETCH(QString, text);
        const UpdateManifest parsed = UpdateChecker::parseManifest(manifest);
        QCOMPARE(parsed.build, 99);
        QCOMPARE(parsed.offerText(QUrl(from)), text);
    }

    void updateOfferAndSkip()
    {
        {
            QSettings store(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
            UpdateChecker checker(&store, nullptr);
            QSignalSpy checked(&checker, &UpdateChecker::checked);
            checker.check(QString()); // no address: no check
            QTest::qWait(50);
            QCOMPARE(checked.count(), 0);
        }
        HttpFake server;
        QCOMPARE(storedSkip(), -1);
        server.setReply(kManifestPath, 200, "{\"build\":22,\"msg\":\"Same\",\"url\":\"http://dl/x\"}");
        auto box = runUpdate(server);
        QVERIFY(box && !box->seen);

        server.setReply(kManifestPath, 200, "{\"build\":23,\"msg\":\"<b>New</b>\",\"url\":\"http://dl/23\"}");
        box = runUpdate(server, "Remind Later");
        QVERIFY(box && box->seen);
        QCOMPARE(box->title, QString("Update Info"));
        QCOMPARE(box->text, "&lt;b&gt;New&lt;/b&gt;" + kDownload.arg("http://dl/23"));
        QCOMPARE(box->textFormat, int(Qt::RichText));
        QCOMPARE(box->icon, int(QMessageBox::Information));
        QCOMPARE(box->buttons, (QStringList{"Skip this update", "Remind Later"}));
        QCOMPARE(box->defaultButton, QString("Remind Later"));
        QCOMPARE(storedSkip(), -1);
        box = runUpdate(server); // closed
        QVERIFY(box && box->seen);
        QCOMPARE(storedSkip(), -1);
        box = runUpdate(server, "Skip this update");
        QVERIFY(box && box->seen);
        QCOMPARE(storedSkip(), 23);
        box = runUpdate(server);
        QVERIFY(box && !box->seen);

        server.setReply(kManifestPath, 200, "{\"build\":24,\"msg\":\"\",\"url\":\"http://dl/24\"}");
        box = runUpdate(server);
        QVERIFY(box && box->seen);
        QCOMPARE(box->text, kDownload.arg("http://dl/24"));
        QCOMPARE(storedSkip(), 23);
        QCOMPARE(server.requestedPaths().size(), 6);
    }

    void updateShowsNothing_data()
    {
        QTest::addColumn<HttpFake::Answer>("answer");
        const QByteArray newer = "{\"build\":99,\"url\":\"http://dl/99\"}" + QByteArray(200, ' ');
        QTest::newRow("404") << HttpFake::Answer{Behaviour::Canned, 404, newer, {}};
        QTest::newRow("not json") << HttpFake::Answer{Behaviour::Canned, 200, "build=99", {}};
        QTest::newRow("build as text") << HttpFake::Answer{Behaviour::Canned, 200, "{\"build\":\"99\"}", {}};
        QTest::newRow("endless msg") << HttpFake::Answer{Behaviour::Flood, 200, newer, {}};
        QTest::newRow("300 MB announced") << HttpFake::Answer{Behaviour::DeclaredHuge, 200, newer, {}};
        QTest::newRow("one byte at a time") << HttpFake::Answer{Behaviour::Drip, 200, newer, {}};
        QTest::newRow("no answer") << HttpFake::Answer{Behaviour::Silent, 200, newer, {}};
    }

    void updateShowsNothing()
    {
        QFETCH(HttpFake::Answer, answer);
        HttpFake server;
        server.setAnswer(kManifestPath, answer);
        const auto box = runUpdate(server, "Remind Later");
        QVERIFY(box && !box->seen);
        QVERIFY(server.bodyBytesSent() < HttpFake::kFloodLimit / 10);
    }

    // The window offers the update at start and shows the logs and the CPU
    // figure; a looked-up link it refuses leaves the form as it was, a good
    // one fills it and goes on to the preview.
    void windowServices()
    {
        HttpFake server;
        server.setReply(kManifestPath, 200, "{\"build\":23,\"msg\":\"New\",\"url\":\"http://dl/23\"}");
        server.setReply(kLookupPath, 200, "{\"url\":\"file:///etc/passwd\"}");
        {
            QSettings store(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
            store.clear();
            store.setValue("LOOKUP_ORIGIN", server.origin());
            store.setValue("UPDATE_URL", server.origin() + kManifestPath);
            store.setValue("URL", "127.0.0.1:9");
            store.setValue("STREAMID", "saved");
        }
        BoxWatcher offer("Remind Later");
        MainWindow window(QString{});
        Ui::MainWindow *ui = window.form();
        QVERIFY(QTest::qWaitFor([&] { return offer.seen; }, kWaitMs));
        QCOMPARE(offer.title, QString("Update Info"));
        QCOMPARE(offer.parent, &window);

        ui->actionLogs->trigger();
        const QWidgetList tops = QApplication::topLevelWidgets();
        QVERIFY(std::any_of(tops.begin(), tops.end(),
                            [](QWidget *w) { return w->objectName() == "LogsDlg" && w->isVisible(); }));
        auto *cpu = window.findChild<QLabel *>("cpuLabel");
        QVERIFY(cpu);
        QVERIFY(QTest::qWaitFor([&] { return !cpu->text().isEmpty(); }, kWaitMs));
        QVERIFY(cpu->text().contains(QRegularExpression("^CPU: -?\\d+%$")));

        ui->numberEdit->setText(kNumber);
        BoxWatcher watcher;
        ui->startBtn_1->click();
        QVERIFY(QTest::qWaitFor([&] { return watcher.seen; }, kWaitMs));
        QCOMPARE(watcher.text, kUnusable);
        QTest::qWait(50);
        QCOMPARE(ui->txtURL->text() + " " + ui->txtStreamID->text(), QString("127.0.0.1:9 saved"));
        QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
        QCOMPARE(ui->startBtn_1->text(), QString("Start"));

        server.setReply(kLookupPath, 200, "{\"url\":\"srt://127.0.0.1:9/cam7/3000/256/SD/DBL\"}");
        ui->startBtn_1->click();
        QCOMPARE(ui->startBtn_1->text(), QString("Wait..."));
        QVERIFY(!ui->startBtn_1->isEnabled() && !ui->modeLbl->isEnabled());
        QCOMPARE(window.settingsStore()->value("NUMBER").toString(), kNumber);
        QVERIFY(QTest::qWaitFor([&] { return ui->stackedWidget->currentIndex() == MainWindow::PreviewPage; }, kWaitMs));
        QCOMPARE(ui->txtURL->text() + " " + ui->txtStreamID->text(), QString("127.0.0.1:9 cam7"));
        QCOMPARE(ui->startBtn_1->text(), QString("Start"));
        QVERIFY(ui->startBtn_1->isEnabled() && ui->modeLbl->isEnabled());
        QCOMPARE(server.requestedPaths().count(kLookupPath), 2);
        window.toggleStreaming();
        QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
    }
};

ORVANTA_TEST_MAIN(TestNetworkServices, TestMain::Offscreen | TestMain::PrivateFolders)
#include "tst_NetworkServices.moc"
