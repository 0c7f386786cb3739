// The export of the real program: what the folder holds, what its program
// loads from where, and that START.sh broadcasts to the studio from it.
#include "app/DistributiveExporter.h"
#include "app/LibraryBundle.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TsChecker.h"

#include "tests/support/TestMain.h"

namespace {
const QString kProgram = QStringLiteral(ORVANTA_BINARY_DIR "/app/orvanta");
const QString kStreamId = QStringLiteral("portable");
constexpr int kStreamWaitMs = 30000;

struct Listing {
    QMap<QString, QString> libraries; // name -> resolved path or "not found"
    QString failure;
};

// ldd with the library path START.sh sets.
Listing listLibraries(const QString &file, const QString &libraryDir)
{
    Listing listing;
    QProcess ldd;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString inherited = environment.value("LD_LIBRARY_PATH");
    environment.insert("LD_LIBRARY_PATH", inherited.isEmpty() ? libraryDir : libraryDir + ":" + inherited);
    ldd.setProcessEnvironment(environment);
    ldd.start("ldd", {file});
    if (!ldd.waitForFinished(30000) || ldd.exitCode() != 0) {
        ldd.kill();
        ldd.waitForFinished(1000);
        listing.failure = "ldd failed on " + file + ": " + ldd.readAllStandardError();
        return listing;
    }
    for (const QString &line : QString::fromLocal8Bit(ldd.readAllStandardOutput()).split('\n')) {
        QString name, path;
        if (LibraryBundle::parseLine(line, &name, &path))
            listing.libraries.insert(name, path);
    }
    return listing;
}

QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (!it.fileInfo().isDir())
            files << QDir(folder).relativeFilePath(it.filePath());
    }
    files.sort();
    return files;
}
} // namespace

class TestPortableExport : public QObject
{
    Q_OBJECT

    QTemporaryDir temp;
    StudioProcess studio;
    DistributiveExporter::Result exported;

    QProcessEnvironment programEnvironment() const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        for (const char *folder : {"runtime", "config", "tmp"})
            QDir().mkpath(temp.filePath(folder));
        QFile::setPermissions(temp.filePath("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                            | QFileDevice::ExeOwner);
        environment.insert("XDG_RUNTIME_DIR", temp.filePath("runtime"));
        environment.insert("XDG_CONFIG_HOME", temp.filePath("config"));
        environment.insert("TMPDIR", temp.filePath("tmp"));
        environment.remove("QT_QPA_PLATFORM");
        environment.remove("QT_PLUGIN_PATH");
        return environment;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(temp.isValid());
        QVERIFY2(studio.start(), studio.output().constData());
        QVERIFY(QDir().mkpath(temp.filePath("exports")));
        const QString link = QString("srt://127.0.0.1:%1/%2/1024/64/SD").arg(studio.srtPort()).arg(kStreamId);
        exported = DistributiveExporter(nullptr, kProgram).exportTo(temp.filePath("exports"), link);
        QVERIFY2(exported.error.isEmpty(), qPrintable(exported.error));
        qInfo("export: %s", qPrintable(DistributiveExporter::statusText(exported)));
    }

    void holdsNoBuildFiles()
    {
        static const QRegularExpression allowed(
            "^(START\\.sh|App/orvanta|App/qt\\.conf|App/lib/lib[^/]+\\.so[.0-9]*|App/plugins/[a-z]+/lib[^/]+\\.so)$");
        const QStringList files = filesBelow(exported.folder);
        QVERIFY(files.contains("App/orvanta"));
        QVERIFY(files.contains("App/plugins/platforms/libqxcb.so"));
        for (const QString &file : files)
            QVERIFY2(allowed.match(file).hasMatch(), qPrintable(file));
        qint64 bytes = 0;
        for (const QString &file : files)
            bytes += QFileInfo(exported.folder + "/" + file).size();
        QCOMPARE(exported.bytes, bytes);
    }

    // Every library resolves inside the folder, except the base set, which
    // comes from the system; the program's own ones are all carried.
    void librariesResolveInsideTheFolder()
    {
        const QString libraryDir = exported.folder + "/App/lib";
        QStringList elfFiles{exported.folder + "/App/orvanta"};
        QDirIterator plugins(exported.folder + "/App/plugins", {"*.so"}, QDir::Files, QDirIterator::Subdirectories);
        while (plugins.hasNext())
            elfFiles << plugins.next();
        QMap<QString, QString> seen;
        for (const QString &file : elfFiles) {
            const Listing listing = listLibraries(file, libraryDir);
            QVERIFY2(listing.failure.isEmpty(), qPrintable(listing.failure));
            for (auto it = listing.libraries.cbegin(); it != listing.libraries.cend(); ++it) {
                const bool inside = it.value().startsWith(libraryDir + "/");
                QVERIFY2(inside || (LibraryBundle::isBaseLibrary(it.key()) && QFileInfo::exists(it.value())),
                         qPrintable(file + ": " + it.key() + " => " + it.value()));
                seen.insert(it.key(), it.value());
            }
        }
        for (const char *name : {"libQt5Core.so.5", "libQt5Widgets.so.5", "libQt5Network.so.5", "libQt5XcbQpa.so.5",
                                 "libavcodec.so.59", "libavformat.so.59", "libavdevice.so.59", "libswscale.so.6",
                                 "libsrt-gnutls.so.1.5", "libopenh264.so.7", "libx264.so.164"})
            QCOMPARE(seen.value(name), libraryDir + "/" + name);
    }

    // The copy's own Qt, FFmpeg and X11 plugin are the ones that run, and
    // the studio records what it sends.
    void startScriptBroadcasts()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display (the test environment's Xvfb)");
        QProcess program;
        program.setProcessEnvironment(programEnvironment());
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.setWorkingDirectory(QDir::rootPath());
        program.start("/bin/sh", {exported.folder + "/START.sh"});
        QVERIFY(program.waitForStarted(10000));
        const QJsonObject stream = studio.waitForStream(kStreamId, "media", 100000, kStreamWaitMs);
        QFile maps(QString("/proc/%1/maps").arg(program.processId()));
        const QString mapped = maps.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(maps.readAll()) : QString();
        program.terminate();
        if (!program.waitForFinished(10000)) {
            program.kill();
            program.waitForFinished();
        }
        QVERIFY2(!stream.isEmpty(), program.readAll().constData());
        for (const char *file : {"App/lib/libQt5Core.so.5", "App/lib/libavcodec.so.59", "App/lib/libsrt-gnutls.so.1.5",
                                 "App/lib/libopenh264.so.7", "App/plugins/platforms/libqxcb.so"})
            QVERIFY2(mapped.contains(exported.folder + "/" + file), file);
        for (const QString &line : mapped.split('\n')) {
            if (line.contains("libQt5") || line.contains("libav"))
                QVERIFY2(line.contains(exported.folder), qPrintable(line));
        }

        const QByteArray recording = studio.recording(kStreamId);
        const TsChecker ts(recording);
        QVERIFY2(ts.packetCount() > 500 && ts.syncErrors() == 0, qPrintable(ts.summary()));
        QVERIFY(ts.videoPid() > 0);
        const QJsonObject video = streamOfType(probe(studio.recordFile(kStreamId)), "video");
        QCOMPARE(video.value("codec_name").toString(), QString("h264"));
        QCOMPARE(video.value("width").toInt(), 960);
    }
};

ORVANTA_TEST_MAIN(TestPortableExport, TestMain::Core)

#include "tst_PortableExport.moc"
