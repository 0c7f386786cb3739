#include "app/services/BoundedGet.h"
#include "app/session/BroadcastPlan.h"
#include "app/session/BroadcastSession.h"
#include "app/services/CpuLoad.h"
#include "app/links/DistributiveExporter.h"
#include "app/services/LibraryBundle.h"
#include "app/links/LinkConsent.h"
#include "app/links/LinkSharing.h"
#include "app/window/LogsDlg.h"
#include "app/links/LookupAnswer.h"
#include "app/window/MainWindow.h"
#include "app/window/PageSwitcher.h"
#include "app/links/NumberLookup.h"
#include "app/window/StatusArea.h"
#include "app/links/StreamLink.h"
#include "app/widgets/TLabel.h"
#include "app/widgets/TNumberEdit.h"
#include "app/services/UpdateChecker.h"
#include "app/services/UpdateManifest.h"
#include "diagnostics/LogFile.h"
#include "diagnostics/SystemReport.h"

#include "tests/support/BoxWatcher.h"
#include "tests/support/FreePorts.h"
#include "tests/support/HttpFake.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TestMain.h"
#include "tests/support/WindowForm.h"

#include <csignal>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

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
const QDate kDate(2026, 3, 14);
const QString kFolder = "Orvanta_2026-03-14";
const QString kPassphrase = "a/b c%d srt://e";
const QString kField = "a%2Fb%20c%25d%20srt%3A%2F%2Fe";
// Recorded from a 4-core machine three seconds apart; the second adds
// user 240, nice 0, system 60, idle 2580, iowait 120 (total 3000, idle 2700).
const QByteArray kStat1 = "cpu  4705 356 584 3699176 23 23 0 0 0 0\n"
                          "cpu0 1393 280 134 899022 12 13 0 0 0 0\n"
                          "intr 114930548 113199788 3 0 5 263 0 0 0 0\n";
const QByteArray kStat2 = "cpu  4945 356 644 3701756 143 23 0 0 0 0\n"
                          "cpu0 1453 280 149 899667 42 13 0 0 0 0\n";
// Then user 3000, all of it a guest's (already part of user time, so it must
// not count twice), and idle 3000: half the time busy.
const QByteArray kStat3 = "cpu  7945 356 644 3704756 143 23 0 0 3000 0\n";
const QByteArray kMissing = "<missing>";

bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

// Stands in for the program: records its argument count, the paths START.sh
// set and its arguments, in the working directory (START.sh's own folder).
const QByteArray kRecordingProgram = "#!/bin/sh\n"
                                     "printf '%s|%s|%s|' \"$#\" \"$LD_LIBRARY_PATH\" \"$QT_PLUGIN_PATH\" > record\n"
                                     "printf '%s' \"$@\" >> record\n";

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(file.readAll()) : QString("<missing>");
}

// Everything below a folder, hidden entries included, relative to it.
QStringList tree(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        entries << QDir(folder).relativeFilePath(it.next());
    entries.sort();
    return entries;
}

// Root writes into any folder; for the length of a test it loses the
// capabilities that let it, as an ordinary user never had them.
struct WithoutFileOverride
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved[2] = {};
    bool active = ::geteuid() == 0 && ::syscall(SYS_capget, &header, saved) == 0 && drop();
    bool drop()
    {
        __user_cap_data_struct reduced[2] = {saved[0], saved[1]};
        for (int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            reduced[0].effective &= ~(1u << capability);
        return ::syscall(SYS_capset, &header, reduced) == 0;
    }
    ~WithoutFileOverride()
    {
        if (active)
            ::syscall(SYS_capset, &header, saved);
    }
};

// Writes beyond a size fail with "File too large", part-way through a file
// as on a full disk.
struct FileSizeLimit
{
    rlimit saved{};
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved);
        const rlimit limited{bytes, saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &saved); }
};
} // namespace

// The window's services: the number lookup, the update check and the
// window's wiring of them, against good, broken and hostile servers on
// loopback; the passphrase in links, the form and the settings, and a
// broadcast that the studio takes because of it; and what it offers without
// a network: the portable export, the CPU indicator and the system report.
class TestAppServices : public QObject
{
    Q_OBJECT

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

    QTemporaryDir temp;
    QString programDir;
    QString programFile;
    QString pluginDir;

    DistributiveExporter exporter(QWidget *parent = nullptr) const
    {
        DistributiveExporter made(parent, programFile);
        made.setPluginFolder(pluginDir);
        return made;
    }

private slots:
    void init() { QSettings(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta").clear(); }

    void initTestCase()
    {
        QVERIFY(temp.isValid());
        // A small real program and, as the X11 plugin, a real library large
        // enough to fill the disk of the failure table.
        programDir = temp.filePath("program");
        programFile = programDir + "/orvanta";
        QVERIFY(QDir().mkpath(programDir + "/share/data") && QFile::copy("/bin/true", programFile));
        pluginDir = temp.filePath("plugins");
        QVERIFY(QDir().mkpath(pluginDir + "/platforms"));
        QVERIFY(QFile::copy(ORVANTA_SRT_LIBRARY, pluginDir + "/platforms/libqxcb.so"));
        QVERIFY(QFile::link(programDir + "/share", programDir + "/share/data/loop"));
        // A sibling whose name merely starts with the program folder's name is outside.
        QVERIFY(!DistributiveExporter::isSameOrInside(programDir + "-exports", programDir));
    }

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
        row("state true", "{\"state\":\"true\",\"url\":\"srt://h:1/s/2/1/HD\"}", {}, "srt://h:1/s/2/1/HD");
        row("state bool false", "{\"state\":false,\"url\":\"srt://h:1/s\"}", {}, "srt://h:1/s");
        row("other scheme", "{\"url\":\"orvanta://Studio.example:9000/cam/2048/128/HD/dbl\"}", {},
            "orvanta://Studio.example:9000/cam/2048/128/HD/dbl");
        row("url not text", "{\"url\":[\"srt://h:1/s\"]}", kUnusable);
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
        const QString closedOrigin = QString("http://127.0.0.1:%1").arg(freeLoopbackPort());
        origin = origin.isEmpty() ? server.origin() : origin == "closed" ? closedOrigin : QString();

        QWidget window;
        NumberLookup lookup(&window);
        lookup.setTimeout(kShortTimeoutMs);
        QSignalSpy finished(&lookup, &NumberLookup::replyFinished);
        QSignalSpy linked(&lookup, &NumberLookup::linkReceived);
        BoxWatcher watcher;
        QCOMPARE(lookup.request(origin, number), valid);
        // A box is answered within its own event loop, so it has returned when this sees it.
        QVERIFY(QTest::qWaitFor([&] { return watcher.seen || !linked.isEmpty(); }, kWaitMs));
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

    // The form's fields from a link are the window's (tests/app); here, what
    // the parser alone decides, and the passphrase in the links made.
    void linkFieldsAndPassphrase()
    {
        QCOMPARE(StreamLink("a://h:1/x://y").field(StreamLink::StreamId), QString("x:")); // only the first "://"
        QVERIFY(StreamLink("srt://h:1/s/1/1/HD/dBl").twoFrames());
        QVERIFY(!StreamLink("srt://h:1/s/1/1/HD/DBLX").twoFrames());
        QVERIFY(NumberLookup::isValidNumber(" 123-456-789 ")); // surrounding text does not matter
        LinkFields fields{"srt://10.0.0.5:9000", "cam1", 2000, "128", "HD", false};
        QCOMPARE(LinkSharing::buildLink(fields), QString("srt://10.0.0.5:9000/cam1/2000/128/HD"));
        fields.twoFrames = true;
        QCOMPARE(LinkSharing::buildLink(fields), QString("srt://10.0.0.5:9000/cam1/2000/128/HD/DBL"));
        fields.passphrase = kPassphrase;
        QCOMPARE(LinkSharing::buildLink(fields), "srt://10.0.0.5:9000/cam1/2000/128/HD/DBL/" + kField);
        fields.twoFrames = false;
        const QString link = LinkSharing::buildLink(fields);
        QCOMPARE(link, "srt://10.0.0.5:9000/cam1/2000/128/HD//" + kField);
        // Sharing rewrites "srt://" only, never the passphrase.
        QCOMPARE(LinkSharing::shareableLink(link), "orvanta://10.0.0.5:9000/cam1/2000/128/HD//" + kField);
        QCOMPARE(LinkSharing::shareableLink("SRT://h:1/s"), QString("orvanta://SRT://h:1/s"));
        // Any character stays inside its field.
        fields.passphrase = "it's $(touch pwned) `touch pwned2` \"; /x";
        QCOMPARE(LinkSharing::passphraseFromField(LinkSharing::buildLink(fields).section('/', 8, 8)), fields.passphrase);
    }

    // The seventh field fills the hidden field and the copied link, older
    // links clear it, and the settings keep it under its key: the suite's
    // environment has no secret service, so the file does (PassphraseStore).
    void formAndSettings()
    {
        {
            MainWindow window("");
            const WindowForm form(&window), *ui = &form;
            QCOMPARE(ui->txtPassphrase->echoMode(), QLineEdit::Password);
            window.loadSettings("orvanta://h:9000/id/2048/128/HD//" + kField);
            QCOMPARE(ui->txtPassphrase->text(), kPassphrase);
            QVERIFY(!ui->chkCombined->isChecked());
            ui->actionCopy_Link->trigger();
            QCOMPARE(QApplication::clipboard()->text(), "orvanta://h:9000/id/2048/128/HD//" + kField);
            QCOMPARE(window.statusBar()->currentMessage(), QString(LinkSharing::kCopiedWithPassphraseText));
            window.loadSettings("orvanta://h:9000/id/2048/128/HD/DBL");
            QCOMPARE(ui->txtPassphrase->text(), QString());
            QCOMPARE(window.buildLink(), QString("h:9000/id/2048/128/HD/DBL"));
            ui->txtPassphrase->setText(kPassphrase);
            window.close();
        }
        QCOMPARE(QSettings(TestMain::settingsFile(), QSettings::IniFormat).value("PASSPHRASE").toString(), kPassphrase);
        MainWindow again("");
        QCOMPARE(WindowForm(&again).txtPassphrase->text(), kPassphrase);
    }

    void lengthIsCheckedAsTypedAndAtStart_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("usable");
        QTest::newRow("nine") << "123456789" << false;
        QTest::newRow("ten") << "1234567890" << true;
        QTest::newRow("seventy-nine") << QString(79, 'p') << true;
        QTest::newRow("none: no encryption") << QString() << true;
    }
    // libsrt's rule in plain words, in the status line while typing and at
    // Start, which then does not begin a broadcast; a usable one clears it.
    void lengthIsCheckedAsTypedAndAtStart()
    {
        QFETCH(QString, typed);
        QFETCH(bool, usable);
        QVERIFY(BroadcastPlan::passphraseProblem(QByteArray(80, 'p')).startsWith("The passphrase must be 10 to 79"));
        MainWindow window("");
        const WindowForm form(&window), *ui = &form;
        auto *area = window.findChild<StatusArea *>("statusArea");
        QVERIFY(area);
        ui->txtURL->setText("127.0.0.1:9");
        ui->txtStreamID->setText("sealed");
        ui->txtPassphrase->setFocus();
        QTest::keyClicks(ui->txtPassphrase, "x");
        ui->txtPassphrase->clear();
        QTest::keyClicks(ui->txtPassphrase, typed);
        const QString rule = QString("The passphrase must be 10 to 79 characters long (now %1), or empty for no encryption.")
                                 .arg(typed.size());
        QCOMPARE(area->fullText(), usable ? QString() : rule);
        QCOMPARE(ui->txtPassphrase->toolTip().contains(rule), !usable);
        QVERIFY(ui->txtPassphrase->toolTip().startsWith("Encrypts the stream"));
        if (usable)
            return;
        ui->cmdStart->click();
        QCOMPARE(area->fullText(), rule);
        QCOMPARE(window.findChild<BroadcastSession *>()->state(), BroadcastSession::State::Idle);
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));
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

    // An offer closed or put off comes again, a skipped one not until a newer
    // build; what is no manifest, or comes too late, offers nothing.
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
        const auto canned = [](int status, const QByteArray &body) {
            return HttpFake::Answer{Behaviour::Canned, status, body, {}};
        };
        const HttpFake::Answer offer =
            canned(200, "{\"build\":23,\"msg\":\"<b>New</b>\",\"url\":\"http://dl/23\"}");
        const QString offered = "&lt;b&gt;New&lt;/b&gt;" + kDownload.arg("http://dl/23");
        const QByteArray newer = "{\"build\":99,\"url\":\"http://dl/99\"}";
        // The answer, the button pressed (none: the box is closed), the offer's
        // text (none: no offer), the skip stored after.
        const QList<std::tuple<HttpFake::Answer, QString, QString, int>> steps = {
            {canned(200, "{\"build\":22,\"msg\":\"Same\",\"url\":\"http://dl/x\"}"), {}, {}, -1},
            {offer, "Remind Later", offered, -1},
            {offer, {}, offered, -1},
            {offer, "Skip this update", offered, 23},
            {offer, {}, {}, 23},
            {canned(200, "{\"build\":24,\"msg\":\"\",\"url\":\"http://dl/24\"}"), {},
             kDownload.arg("http://dl/24"), 23},
            {canned(404, newer), {}, {}, 23},
            {canned(200, "build=99"), {}, {}, 23},
            {canned(200, "{\"build\":\"99\"}"), {}, {}, 23},
            {{Behaviour::Silent, 200, newer, {}}, {}, {}, 23}, // the time limit applies
        };
        HttpFake server;
        for (const auto &[answer, button, text, skip] : steps) {
            server.setAnswer(kManifestPath, answer);
            const auto box = runUpdate(server, button);
            QVERIFY2(box, answer.body.constData());
            QCOMPARE(box->seen, !text.isEmpty());
            QCOMPARE(box->text, text);
            const QSettings stored(TestMain::settingsFile(), QSettings::IniFormat);
            QCOMPARE(stored.value("SKIP_UPDATE", -1).toInt(), skip);
            if (!box->seen)
                continue;
            QCOMPARE(box->title, QString("Update Info"));
            QCOMPARE(box->textFormat, int(Qt::RichText));
            QCOMPARE(box->icon, int(QMessageBox::Information));
            QCOMPARE(box->buttons, (QStringList{"Skip this update", "Remind Later"}));
            QCOMPARE(box->defaultButton, QString("Remind Later"));
        }
        QCOMPARE(server.requestedPaths().size(), steps.size());
    }

    void loaderListing_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("name"); // empty: the line names no library
        QTest::addColumn<QString>("path");
        auto row = [](const char *tag, const QString &line, const QString &name = {}, const QString &path = {}) {
            QTest::newRow(tag) << line << name << path;
        };
        row("found", "\tlibQt5Core.so.5 => /lib/x86_64-linux-gnu/libQt5Core.so.5 (0x00007f1c2a400000)", "libQt5Core.so.5",
            "/lib/x86_64-linux-gnu/libQt5Core.so.5");
        row("space in path", "\tlibx.so.1 => /opt/my libs/libx.so.1 (0x0000000000001000)", "libx.so.1",
            "/opt/my libs/libx.so.1");
        row("missing", "\tlibsrt-gnutls.so.1.5 => not found", "libsrt-gnutls.so.1.5", "not found");
        row("vdso", "\tlinux-vdso.so.1 (0x00007ffd1b7f2000)");
        row("empty", "");
    }

    void loaderListing()
    {
        QFETCH(QString, line);
        QFETCH(QString, name);
        QString parsedName, parsedPath;
        QCOMPARE(LibraryBundle::parseLine(line, &parsedName, &parsedPath), !name.isEmpty());
        if (!name.isEmpty()) {
            QCOMPARE(parsedName, name);
            QTEST(parsedPath, "path");
        }
    }

    // Exact names: the libraries a plain X desktop need not have travel in
    // the copy, even where their family's first members are the system's.
    void baseSet()
    {
        for (const char *name : {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2", "libstdc++.so.6", "libgcc_s.so.1",
                                 "libX11.so.6", "libX11-xcb.so.1", "libxcb.so.1", "libGL.so.1", "libEGL.so.1",
                                 "libGLX.so.0", "libdrm.so.2", "libwayland-client.so.0", "libfontconfig.so.1",
                                 "libfreetype.so.6", "libharfbuzz.so.0", "libasound.so.2", "libz.so.1", "libexpat.so.1"})
            QVERIFY2(LibraryBundle::isBaseLibrary(name), name);
        for (const char *name : {"libXv.so.1", "libXcursor.so.1", "libXrandr.so.2", "libXss.so.1",
                                 "libwayland-egl.so.1", "libwayland-cursor.so.0", "libxcb-xkb.so.1",
                                 "libxkbcommon.so.0", "libpulse.so.0", "libglib-2.0.so.0", "libdbus-1.so.3",
                                 "libQt5Core.so.5", "libQt5XcbQpa.so.5", "libavcodec.so.59", "libsrt-gnutls.so.1.5",
                                 "libopenh264.so.7", "libx264.so.164", "libgnutls.so.30", "libicuuc.so.72",
                                 "libzvbi.so.0", "libmfx.so.1", "libX11.so", "libc.so.6.bak"})
            QVERIFY2(!LibraryBundle::isBaseLibrary(name), name);
    }

    // What the copy holds and how much is the real program's export's
    // business (tests/app); here, its name, its settings and where it goes.
    void exportNamesItsFolderAfterTheDay()
    {
        const QString target = temp.filePath("exports");
        QVERIFY(QDir().mkpath(target));
        const DistributiveExporter::Result first = exporter().exportTo(target, "srt://10.0.0.5:9000/cam1/2000/128/HD", kDate);
        QCOMPARE(first.error, QString());
        QCOMPARE(first.folder, QDir(target).filePath(kFolder));
        QVERIFY(QFileInfo(first.folder + "/START.sh").isExecutable());
        QCOMPARE(readText(first.folder + "/App/qt.conf"), QString("[Paths]\nPrefix = .\nPlugins = plugins\n"));
        // The server the user exported for: the copy's links to it start at once.
        QCOMPARE(readText(first.folder + "/App/confirmed-servers"), QString("10.0.0.5:9000\n"));
        QVERIFY(!LinkConsent(nullptr, nullptr, first.folder + "/App").needsQuestion("orvanta://10.0.0.5:9000/c", false));
        // Made in a private staging folder, the copy ends up readable by others as a folder made by hand is.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        QCOMPARE(int(QFileInfo(first.folder).permissions() & 07), int(~mask & 07)); // the "other" bits

        QCOMPARE(exporter().exportTo(target, "x", kDate).folder, QDir(target).filePath(kFolder + " (2)"));
        QCOMPARE(exporter().exportTo(target, "x", kDate).folder, QDir(target).filePath(kFolder + " (3)"));
        QCOMPARE(QDir(target).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{kFolder, kFolder + " (2)", kFolder + " (3)"}));

        // Success shows on the status line only, with where and how large.
        QMainWindow window;
        BoxWatcher watcher;
        exporter(&window).report({"/home/me/Desktop/Orvanta_2026-03-14 (2)", 253292272, QString()});
        QCOMPARE(window.statusBar()->currentMessage(),
                 QString("Exported to /home/me/Desktop/Orvanta_2026-03-14 (2) (253.3 MB)"));
        QTest::qWait(50);
        QVERIFY(!watcher.seen);
    }

    // Each failure is reported, in a box and on the status line, and
    // leaves the chosen folder as it was.
    void failuresLeaveNothingBehind_data()
    {
        QTest::addColumn<QString>("target"); // empty: a folder of its own
        QTest::addColumn<QString>("trouble");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("where"); // empty: the target
        QTest::newRow("no permission") << QString() << "read-only" << "Permission denied" << QString();
        QTest::newRow("no space left") << QString() << "full" << "File too large" << "into the export";
        QTest::newRow("hundred names taken") << QString() << "crowded" << "100 folders named " + kFolder << QString();
        const QString outside = "must lie outside the program folder " + programDir;
        QTest::newRow("program folder") << programDir << QString() << outside << programDir;
        QTest::newRow("inside it") << programDir + "/share" << QString() << outside << programDir;
        QTest::newRow("linked inside") << programDir + "/share/data/loop" << QString() << outside << programDir;
    }

    void failuresLeaveNothingBehind()
    {
        QFETCH(QString, target);
        QFETCH(QString, trouble);
        QFETCH(QString, reason);
        QFETCH(QString, where);
        QTemporaryDir own;
        QVERIFY(own.isValid());
        if (target.isEmpty())
            target = own.path();
        if (where.isEmpty())
            where = target;
        for (int n = 1; trouble == "crowded" && n <= 100; ++n)
            QVERIFY(QDir().mkpath(target + "/" + kFolder + (n == 1 ? QString() : QString(" (%1)").arg(n))));
        const QStringList before = tree(target);
        const auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        QVERIFY(QFile::setPermissions(own.path(), trouble == "read-only" ? ownerOnly & ~QFileDevice::WriteOwner : ownerOnly));
        QMainWindow window;
        DistributiveExporter::Result result;
        {
            WithoutFileOverride asUser;
            FileSizeLimit limit(trouble == "full" ? 64 * 1024 : RLIM_INFINITY);
            result = exporter(&window).exportTo(target, "srt://h:1/s", kDate);
        }
        QFile::setPermissions(own.path(), ownerOnly);
        QCOMPARE(result.folder, QString());
        QVERIFY2(result.error.contains(reason) && result.error.contains(where), qPrintable(result.error));
        QCOMPARE(tree(target), before);

        BoxWatcher watcher;
        exporter(&window).report(result);
        QVERIFY(watcher.seen);
        QCOMPARE(watcher.title, QString("Warning"));
        QCOMPARE(watcher.icon, int(QMessageBox::Warning));
        QCOMPARE(watcher.parent, &window);
        QCOMPARE(watcher.text, result.error);
        QCOMPARE(window.statusBar()->currentMessage(), "Export failed: " + result.error);
    }

    void folderDialogStartsInAFolderThatExists()
    {
        const QByteArray savedHome = qgetenv("HOME");
        QTemporaryDir home;
        qputenv("HOME", home.path().toLocal8Bit());
        const QString withoutDesktop = DistributiveExporter::startFolder();
        QVERIFY(QDir().mkpath(home.filePath("Desktop")));
        const QString withDesktop = DistributiveExporter::startFolder();
        qputenv("HOME", savedHome);
        QCOMPARE(withoutDesktop, home.path());
        QCOMPARE(withDesktop, home.filePath("Desktop"));
    }

    void startScriptPassesHostileLinksAsText()
    {
        const QString marker = temp.filePath("pwned");
        const QStringList streamIds = {"x\";touch " + marker + ";\"", "$(touch " + marker + ")", "`touch " + marker + "`",
                                       "a'b;touch " + marker + ";'c", "'", "it's \\ $HOME * ?\nsecond line", "-h"};
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("LD_LIBRARY_PATH", "/outer");
        int n = 0;
        for (const QString &streamId : streamIds) {
            // A folder name with a blank and a quote: the paths START.sh sets must survive it.
            const QString folder = temp.filePath(QString("quoting/it's %1").arg(++n));
            QVERIFY(writeFile(folder + "/App/orvanta", kRecordingProgram, true));
            const QString link = "srt://127.0.0.1:9000/" + streamId + "/2000/128/HD";
            QVERIFY(DistributiveExporter::writeStartScript(folder, link));
            QVERIFY(readText(folder + "/START.sh").startsWith("#!/bin/sh\n"));
            QProcess shell;
            shell.setProcessEnvironment(environment);
            shell.setWorkingDirectory(QDir::rootPath()); // the script must find its own folder
            shell.start("/bin/sh", {folder + "/START.sh"});
            QVERIFY(shell.waitForFinished(10000));
            QCOMPARE(readText(folder + "/record"), "1|" + folder + "/App/lib:/outer|" + folder + "/App/plugins|" + link);
            QVERIFY2(!QFileInfo::exists(marker), qPrintable(streamId));
        }
    }

    // Successive samples of one stat file and the label after each; the
    // formula's parts.
    void cpuLoadFromRecordedSamples()
    {
        const QString stat = temp.filePath("stat");
        CpuLoad cpu(stat);
        const QList<QPair<QByteArray, QString>> steps = {
            {kStat1, "CPU: 0%"}, // against zero: since boot, 1 - (3699176 + 23) / 3704867
            // Failed reads show as such and keep the previous sample.
            {kMissing, "CPU: -100%"},
            {"intr 1 2 3\n", "CPU: -100%"},
            {"cpu  12 x 3 4\n", "CPU: -100%"},
            {kStat2, "CPU: 10%"},
            {kStat2, "CPU: 100%"}, // nothing elapsed: the load reads as full
            {kStat3, "CPU: 50%"},
        };
        for (const auto &step : steps) {
            QVERIFY(step.first == kMissing ? QFile::remove(stat) : writeFile(stat, step.first));
            QCOMPARE(cpu.update(), step.second);
        }
        CpuLoad::Times times;
        QVERIFY(CpuLoad::parseProcStat("cpu 1 2 3 4\n", &times)); // old kernels: four fields
        QCOMPARE(times.total, quint64(10));
        QCOMPARE(CpuLoad::labelText(0.3749f), QString("CPU: 37%"));
        QCOMPARE(CpuLoad::labelText(0.3751f), QString("CPU: 38%"));
    }

    // Without media (no provider) the report is the log viewer's case.
    void reportWithMedia()
    {
        SystemReport::setMediaReportProvider([] {
            return MediaReport{{"mpegts", "mp4"}, {"h264", "mpeg2video", "h264"}, {"aac", "mp2", "aac"}, {},
                               {"Built-in Audio", "PC Sounds (Loopback)"}};
        });
        const QString report = SystemReport::systemReport();
        SystemReport::setMediaReportProvider(nullptr);
        QVERIFY(report.startsWith("Codecs and cointainers:\n\nContainers:\tmpegts mp4\n"
                                  "\nVideo codecs:\th264 mpeg2video\n\nAudio codecs:\taac mp2\n"
                                  "Connected multimedia devices:\n\nVideo devices:\t\n"
                                  "\nAudio devices:\t\"Built-in Audio\", \"PC Sounds (Loopback)\"\n"
                                  "Machine info:\n\nCPU Architecture:\t" + QSysInfo::currentCpuArchitecture() + "\n"
                                  "\nCPU Frequency:\t"));
        QVERIFY(report.contains(QRegularExpression("\nCPU Frequency:\t[0-9.]+ GHz\n"
                                                   "\nCPU and/or core count:\t[1-9][0-9]*\n"
                                                   "\nRAM size:\t[0-9.]+ Gb\n"
                                                   "OS info:\n")));
        QVERIFY(report.endsWith("OS info:\n\nOS:\t" + QSysInfo::prettyProductName() + "\n\nKernel type:\t"
                                + QSysInfo::kernelType() + "\n\nKernel version:\t" + QSysInfo::kernelVersion()
                                + "\n\nHost name:\t" + QSysInfo::machineHostName() + "\n"));
    }

    void frequencyAndMemoryFromSystemFiles()
    {
        const QString absent = temp.filePath("absent"), cpufreq = temp.filePath("cpuinfo_max_freq"),
                      cpuinfo = temp.filePath("cpuinfo"), meminfo = temp.filePath("meminfo");
        QVERIFY(writeFile(cpuinfo, "processor\t: 0\nmodel name\t: Test CPU\ncpu MHz\t\t: 2394.454\n"));
        QCOMPARE(SystemReport::cpuMaxFrequencyKHz(absent, cpuinfo), quint64(2394454));
        QVERIFY(writeFile(cpufreq, "3400000\n"));
        QCOMPARE(SystemReport::cpuMaxFrequencyKHz(cpufreq, cpuinfo), quint64(3400000));
        QCOMPARE(SystemReport::cpuMaxFrequencyKHz(absent, absent), quint64(0));
        QCOMPARE(SystemReport::frequencyText(3400000), QString("3.4 GHz"));
        QCOMPARE(SystemReport::frequencyText(2394454), QString("2.39 GHz"));
        QCOMPARE(SystemReport::memoryText(16777216), QString("16.78 Gb"));
        QVERIFY(writeFile(meminfo, "MemTotal:       16777216 kB\nMemFree:         1024 kB\n"));
        QCOMPARE(SystemReport::memTotalKB(meminfo), quint64(16777216));
    }

    void logViewerShowsReportOnceAndNoLogLines()
    {
        QTemporaryDir folder;
        const QString log = folder.filePath("orvanta/orvanta.log");
        QVERIFY(LogFile::install(log));
        LogsDlg dialog;
        LogFile::uninstall();
        QVERIFY(dialog.isWindow() && !dialog.isVisible());
        auto *text = dialog.findChild<QPlainTextEdit *>("plainTextEdit");
        auto *close = dialog.findChild<QPushButton *>("pushButton");
        QVERIFY(text && close);
        const QString shown = text->toPlainText();
        QVERIFY(shown.startsWith("--- System Info ---\nCodecs and cointainers:\n"));
        QVERIFY(shown.endsWith("\n--- Session log ---\nThe running log of this session is written to " + log
                               + " (the one before as " + log + ".1)."));
        QCOMPARE(text->document()->blockCount(), 1 + SystemReport::systemReport().count('\n') + 1 + 2);

        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        // The text fills the window above a Close button at its left.
        QCOMPARE(close->x(), text->x());
        QVERIFY(text->geometry().bottom() < close->y());
        QVERIFY(text->width() > dialog.width() - 30);
        QVERIFY(text->height() > dialog.height() - close->height() - 40);
        close->click();
        QVERIFY(!dialog.isVisible());
        dialog.show();
        QCOMPARE(text->toPlainText(), shown);

        // Log lines go to the log, not into the report.
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("relay started"));
        dialog.logLine("relay started");
        QCOMPARE(text->toPlainText(), shown);
    }

    // The window offers the update at start and shows the CPU figure (its
    // logs action is the desktop overlay suite's); a looked-up link it refuses
    // leaves the form as it was, a good one fills it and goes on to the preview.
    void windowServices()
    {
        HttpFake server;
        server.setReply(kManifestPath, 200, "{\"build\":23,\"msg\":\"New\",\"url\":\"http://dl/23\"}");
        server.setReply(kLookupPath, 200, "{\"url\":\"file:///etc/passwd\"}");
        {
            QSettings store(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
            store.setValue("LOOKUP_ORIGIN", server.origin());
            store.setValue("UPDATE_URL", server.origin() + kManifestPath);
            store.setValue("URL", "127.0.0.1:9");
            store.setValue("STREAMID", "saved");
        }
        BoxWatcher offer("Remind Later");
        MainWindow window(QString{});
        const WindowForm form(&window), *ui = &form;
        QVERIFY(QTest::qWaitFor([&] { return offer.seen; }, kWaitMs));
        QCOMPARE(offer.title, QString("Update Info"));
        QCOMPARE(offer.parent, &window);

        auto *cpu = window.findChild<QLabel *>("cpuLabel");
        QVERIFY(cpu);
        QVERIFY(QTest::qWaitFor([&] { return !cpu->text().isEmpty(); }, kWaitMs));
        QVERIFY(cpu->text().contains(QRegularExpression("^CPU: -?\\d+%$")));

        ui->numberEdit->setText(kNumber);
        BoxWatcher watcher;
        ui->startBtn_1->click();
        QVERIFY(QTest::qWaitFor([&] { return watcher.seen; }, kWaitMs));
        QCOMPARE(watcher.text, kUnusable);
        QTest::qWait(50);  // nothing follows the box: the form keeps its values
        QCOMPARE(ui->txtURL->text() + " " + ui->txtStreamID->text(), QString("127.0.0.1:9 saved"));
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));
        QCOMPARE(ui->startBtn_1->text(), QString("Start"));

        server.setReply(kLookupPath, 200, "{\"url\":\"srt://127.0.0.1:9/cam7/3000/256/SD/DBL\"}");
        ui->startBtn_1->click();
        QCOMPARE(ui->startBtn_1->text(), QString("Wait..."));
        QVERIFY(!ui->startBtn_1->isEnabled() && !ui->modeLbl->isEnabled());
        QCOMPARE(QSettings(TestMain::settingsFile(), QSettings::IniFormat).value("NUMBER").toString(), kNumber);
        QVERIFY(QTest::qWaitFor([&] { return ui->stackedWidget->currentIndex() == PageSwitcher::PreviewPage; }, kWaitMs));
        QCOMPARE(ui->txtURL->text() + " " + ui->txtStreamID->text(), QString("127.0.0.1:9 cam7"));
        QCOMPARE(ui->startBtn_1->text(), QString("Start"));
        QVERIFY(ui->startBtn_1->isEnabled() && ui->modeLbl->isEnabled());
        QCOMPARE(server.requestedPaths().count(kLookupPath), 2);
        window.toggleStreaming();
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));
    }

    void whenALinkAsks_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<bool>("live");
        QTest::addColumn<bool>("asks");
        QTest::newRow("a server never used") << "orvanta://studio.example:9000/cam" << false << true;
        QTest::newRow("a confirmed server") << "orvanta://studio.example:7000/cam" << false << false;
        QTest::newRow("confirmed, written otherwise") << "orvanta://Studio.Example:7000/cam/1/2" << false << false;
        QTest::newRow("confirmed host, another port") << "orvanta://studio.example:7001/cam" << false << true;
        QTest::newRow("confirmed, but a broadcast is live") << "orvanta://studio.example:7000/cam" << true << true;
        QTest::newRow("the copy's server") << "orvanta://10.0.0.5:9000/cam" << false << false;
        QTest::newRow("no port: Start only warns") << "orvanta://studio.example/cam" << false << false;
        QTest::newRow("port out of range") << "orvanta://studio.example:70000/cam" << false << false;
        QTest::newRow("not a link") << "studio.example:9000/cam" << true << false;
    }

    // Which links from outside need the user's word first.
    void whenALinkAsks()
    {
        QFETCH(QString, link);
        QFETCH(bool, live);
        QFETCH(bool, asks);
        QTemporaryDir copy;
        QFile file(copy.filePath("confirmed-servers"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("\n10.0.0.5:9000\n") > 0);
        file.close();
        QSettings store(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
        LinkConsent consent(&store, nullptr, copy.path());
        consent.confirm("srt://studio.example:7000");
        QCOMPARE(consent.needsQuestion(link, live), asks);
    }

    // The question shows a link's texts as plain text, shortened, and its
    // default is Cancel; the remembered servers are bounded, newest first.
    void questionAndRememberedServers()
    {
        const QString hostile = "<img src=x>" + QString(200, 'a');
        const QString text = LinkConsent::question("orvanta://h:1/" + hostile + "/1/2/SD/DBL", true,
                                                   {"camera", "microphone", "screen"});
        QCOMPARE(text, "A link asks to broadcast to h:1 with the stream ID \"<img src=x>" + QString(68, 'a')
                           + QChar(0x2026) + "\".\n\nIt would send your camera, microphone and screen.\n"
                           "The live broadcast would end.\n\nStart only if you know this server and expected this link.");
        QSettings store(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
        LinkConsent consent(&store, nullptr, temp.path());
        for (int i = 0; i < LinkConsent::kMaxRemembered + 5; ++i)
            consent.confirm(QString("h:%1").arg(i + 1));
        consent.confirm("H:7");
        const QStringList kept = store.value("CONFIRMED_SERVERS").toStringList();
        QCOMPARE(kept.size(), LinkConsent::kMaxRemembered);
        QCOMPARE(kept.first(), QString("h:7"));
        QCOMPARE(kept.count("h:7"), 1);
        QVERIFY(!kept.contains("h:1"));
    }

    // A link as the argument or from a later start, to a server the user
    // never broadcast to, waits for his word and sends nothing meanwhile;
    // Start starts it and remembers the server. While live, any such link
    // asks, and Cancel leaves the broadcast as it was. A known server's link
    // starts at once (the looked-up link does too: windowServices).
    void linkFromOutsideAsksFirst()
    {
        StudioProcess studio;
        QVERIFY2(studio.start(), studio.output().constData());
        const QString server = QString("127.0.0.1:%1").arg(studio.srtPort());
        {
            QSettings store(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
            store.setValue("URL", "127.0.0.1:9");
            store.setValue("STREAMID", "saved");
            store.setValue("MODE", "MIX");
        }
        const QString link = "orvanta://" + server + "/asked/1024/64/SD";
        BoxWatcher cancelled("Cancel");
        MainWindow window(link);
        const WindowForm form(&window), *ui = &form;
        QVERIFY(QTest::qWaitFor([&] { return cancelled.seen; }, kWaitMs));
        QCOMPARE(cancelled.title, QString("Start Broadcast"));
        QCOMPARE(cancelled.text, "A link asks to broadcast to " + server
                                     + " with the stream ID \"asked\".\n\nIt would send your camera, microphone and "
                                       "screen.\n\nStart only if you know this server and expected this link.");
        QCOMPARE(cancelled.textFormat, int(Qt::PlainText));
        QCOMPARE(cancelled.parent, &window);
        QCOMPARE(cancelled.buttons, (QStringList{"Start", "Cancel"}));
        QCOMPARE(cancelled.defaultButton, QString("Cancel"));
        QCOMPARE(ui->txtURL->text() + " " + ui->txtStreamID->text(), QString("127.0.0.1:9 saved"));
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));
        QCOMPARE(studio.status().value("streams").toArray().size(), 0);

        BoxWatcher started("Start");
        window.openLink(link);
        QVERIFY(QTest::qWaitFor([&] { return started.seen; }, kWaitMs));
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::PreviewPage));
        const qint64 before = StudioProcess::count(studio.waitForStream("asked", "media", 20000, kWaitMs), "bytes");
        QVERIFY(before >= 20000);
        QCOMPARE(QSettings(TestMain::settingsFile(), QSettings::IniFormat).value("CONFIRMED_SERVERS").toStringList(), QStringList{server});

        BoxWatcher kept("Cancel");
        window.openLink("orvanta://" + server + "/diverted/1024/64/SD");
        QVERIFY(QTest::qWaitFor([&] { return kept.seen; }, kWaitMs));
        QVERIFY(kept.text.contains("\nThe live broadcast would end.\n"));
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::PreviewPage));
        QCOMPARE(ui->txtStreamID->text(), QString("asked"));
        QVERIFY(!studio.waitForStream("asked", "media", before + 20000, kWaitMs, 1).isEmpty());
        QVERIFY(StudioProcess::findStream(studio.status(), "diverted", "media").isEmpty());
        window.toggleStreaming();

        window.openLink("orvanta://" + server + "/known/1024/64/SD");
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::PreviewPage));
        QVERIFY(!studio.waitForStream("known", "media", 20000, kWaitMs).isEmpty());
        window.toggleStreaming();
    }

    // Taken by a studio that asks for it: all three streams open. The
    // passphrase is never logged. (A refusal's reason is the transport's
    // suite's, its display the broadcast session's.)
    void acceptedBroadcast()
    {
        const QString passphrase = "the studio's passphrase";
        StudioProcess studio({"--passphrase", passphrase});
        QVERIFY2(studio.start(), studio.output().constData());
        MessageCapture log;
        TestMain::confirmServer(QString("127.0.0.1:%1").arg(studio.srtPort()));
        MainWindow window(QString("orvanta://127.0.0.1:%1/sealed/1024/64/SD//").arg(studio.srtPort())
                          + LinkSharing::passphraseField(passphrase));
        const WindowForm form(&window), *ui = &form;
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::PreviewPage));
        QVERIFY(!studio.waitForStream("sealed", "media", 50000, 20000).isEmpty());
        QVERIFY(!studio.waitForStream("sealed", "control", 0, 20000).isEmpty());
        QVERIFY(!studio.waitForStream("sealed", "feedback", 0, 20000).isEmpty());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTest::mouseClick(ui->stopBtn, Qt::LeftButton);
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));
        window.close();
        for (const QString &secret : {passphrase, LinkSharing::passphraseField(passphrase)})
            QCOMPARE(log.count(secret), 0);
    }
};

ORVANTA_TEST_MAIN(TestAppServices, TestMain::Offscreen | TestMain::PrivateFolders)
#include "tst_AppServices.moc"
