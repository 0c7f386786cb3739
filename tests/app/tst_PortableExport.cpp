// The export of the real program: what the folder holds, what its program
// loads from where, and that START.sh broadcasts to the studio from it.
#include "app/links/DistributiveExporter.h"
#include "app/services/LibraryBundle.h"
#include "tests/support/FfmpegPrograms.h"
#include "tests/support/StudioProcess.h"
#include "tests/support/TestMain.h"
#include "tests/support/TsChecker.h"

class TestPortableExport : public QObject
{
    Q_OBJECT
    QTemporaryDir temp;
    StudioProcess studio;
    DistributiveExporter::Result exported;

private slots:
    void initTestCase()
    {
        QVERIFY2(studio.start(), studio.output().constData());
        for (const char *folder : {"exports", "runtime", "config", "tmp"})
            QVERIFY(QDir().mkpath(temp.filePath(folder)));
        const QString link = QString("srt://127.0.0.1:%1/portable/1024/64/SD").arg(studio.srtPort());
        exported = DistributiveExporter(nullptr, ORVANTA_BINARY_DIR "/app/orvanta").exportTo(temp.filePath("exports"), link);
        QVERIFY2(exported.error.isEmpty(), qPrintable(exported.error));
    }

    void holdsNoBuildFiles()
    {
        static const QRegularExpression allowed(
            "^(START\\.sh|App/orvanta|App/qt\\.conf|App/confirmed-servers|App/lib/lib[^/]+\\.so[.0-9]*|App/plugins/[a-z]+/lib[^/]+\\.so)$");
        QStringList files;
        qint64 bytes = 0;
        QDirIterator it(exported.folder, QDir::Files | QDir::System | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            files << QDir(exported.folder).relativeFilePath(it.next());
            QVERIFY2(allowed.match(files.last()).hasMatch(), qPrintable(files.last()));
            bytes += it.fileInfo().size();
        }
        QVERIFY(files.contains("App/orvanta") && files.contains("App/plugins/platforms/libqxcb.so"));
        QCOMPARE(exported.bytes, bytes);
    }

    // With the library path START.sh sets, every library resolves inside the
    // folder, and the base set, which the copy does not carry, from the system.
    void librariesResolveInsideTheFolder()
    {
        const QString libraryDir = exported.folder + "/App/lib";
        QStringList elfFiles{exported.folder + "/App/orvanta"};
        QDirIterator plugins(exported.folder + "/App/plugins", {"*.so"}, QDir::Files, QDirIterator::Subdirectories);
        while (plugins.hasNext())
            elfFiles << plugins.next();
        LibraryBundle bundle;
        QVERIFY2(bundle.resolve(elfFiles, libraryDir), qPrintable(bundle.error()));
        const QMap<QString, QString> seen = bundle.all();
        QVERIFY(seen.contains("libQt5Core.so.5") && seen.contains("libx264.so.164"));
        for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
            const bool carried = it.value().startsWith(libraryDir + "/");
            QVERIFY2(LibraryBundle::isBaseLibrary(it.key()) ? !carried && QFileInfo::exists(it.value()) : carried,
                     qPrintable(it.key() + " => " + it.value()));
        }
    }

    // The copy's own Qt, FFmpeg and X11 plugin are the ones that run, and
    // the studio records what it sends: with settings that know no server,
    // the link starts at once, since the copy carries the server it was made for.
    void startScriptBroadcasts()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display (the test environment's Xvfb)");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        QFile::setPermissions(temp.filePath("runtime"), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                            | QFileDevice::ExeOwner);
        environment.insert("XDG_RUNTIME_DIR", temp.filePath("runtime"));
        environment.insert("XDG_CONFIG_HOME", temp.filePath("config"));
        environment.insert("TMPDIR", temp.filePath("tmp"));
        environment.remove("QT_QPA_PLATFORM");
        environment.remove("QT_PLUGIN_PATH");
        QProcess program;
        program.setProcessEnvironment(environment);
        program.setProcessChannelMode(QProcess::MergedChannels);
        program.setWorkingDirectory(QDir::rootPath());
        program.start("/bin/sh", {exported.folder + "/START.sh"});
        QVERIFY(program.waitForStarted(10000));
        const QJsonObject stream = studio.waitForStream("portable", "media", 100000, 30000);
        QFile maps(QString("/proc/%1/maps").arg(program.processId()));
        const QString mapped = maps.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(maps.readAll()) : QString();
        program.terminate();
        QVERIFY(program.waitForFinished(10000));
        QVERIFY2(!stream.isEmpty(), program.readAll().constData());
        for (const char *file : {"App/lib/libQt5Core.so.5", "App/lib/libavcodec.so.59", "App/lib/libsrt-gnutls.so.1.5",
                                 "App/lib/libopenh264.so.7", "App/plugins/platforms/libqxcb.so"})
            QVERIFY2(mapped.contains(exported.folder + "/" + file), file);
        for (const QString &line : mapped.split('\n'))
            if (line.contains("libQt5") || line.contains("libav"))
                QVERIFY2(line.contains(exported.folder), qPrintable(line));

        const TsChecker ts(studio.recording("portable"));
        QVERIFY2(ts.packetCount() > 500 && ts.syncErrors() == 0 && ts.videoPid() > 0, qPrintable(ts.summary()));
        const QJsonObject video = streamOfType(probe(studio.recordFile("portable")), "video");
        QCOMPARE(video.value("codec_name").toString(), QString("h264"));
        QCOMPARE(video.value("width").toInt(), 960);
    }
};

ORVANTA_TEST_MAIN(TestPortableExport, TestMain::Core)
#include "tst_PortableExport.moc"
