#include "app/InstanceFolder.h"

#include "tests/support/TestMain.h"

#include <sys/stat.h>

// The program's private temporary folder, with the shared folder under it
// set up as another user of the machine could have left it.
class TestInstanceFolder : public QObject
{
    Q_OBJECT

    QTemporaryDir shared;  // stands in for /tmp
    QTemporaryDir victim;  // what a planted link points at
    QByteArray oldTmpDir;
    QByteArray oldRuntimeDir;

    static void writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static int modeOf(const QString &path)
    {
        struct stat info {};
        return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(shared.isValid());
        QVERIFY(victim.isValid());
        oldTmpDir = qgetenv("TMPDIR");
        oldRuntimeDir = qgetenv("XDG_RUNTIME_DIR");
    }

    void init()
    {
        qputenv("TMPDIR", shared.path().toLocal8Bit());
        qunsetenv("XDG_RUNTIME_DIR");
    }

    void cleanupTestCase()
    {
        qputenv("TMPDIR", oldTmpDir);
        if (oldRuntimeDir.isEmpty())
            qunsetenv("XDG_RUNTIME_DIR");
        else
            qputenv("XDG_RUNTIME_DIR", oldRuntimeDir);
    }

    void plantedLinkIsNeitherWrittenNorRemoved()
    {
        // The name the program once used, planted as a link to another
        // user's files, and a folder of that name's usual neighbours.
        writeFile(victim.filePath("precious.txt"), "keep me");
        QVERIFY(QFile::link(victim.path(), shared.filePath("orvanta")));
        QString folderPath;
        {
            InstanceFolder folder;
            QVERIFY(folder.isValid());
            folderPath = folder.path();
            QCOMPARE(QFileInfo(folderPath).dir().path(), QDir(shared.path()).path());
            QVERIFY(QFileInfo(folderPath).fileName().startsWith("orvanta-"));
            QVERIFY(!QFileInfo(folderPath).isSymLink());
            QCOMPARE(modeOf(folderPath), 0700);
            const QString splash = folder.addCopy(":/splash", "splash.png");
            QCOMPARE(splash, folderPath + "/splash.png");
            QCOMPARE(QImage(splash).size(), QSize(1280, 720));
        }
        QVERIFY(!QFileInfo::exists(folderPath));
        QVERIFY(QFileInfo(shared.filePath("orvanta")).isSymLink());
        QCOMPARE(QDir(victim.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"precious.txt"});
        QCOMPARE(readFile(victim.filePath("precious.txt")), QByteArray("keep me"));
        QFile::remove(shared.filePath("orvanta"));
    }

    void removalUnlinksALinkInPlaceOfItsFile()
    {
        writeFile(victim.filePath("target.txt"), "target");
        InstanceFolder folder;
        const QString splash = folder.addCopy(":/splash", "splash.png");
        QVERIFY(!splash.isEmpty());
        QVERIFY(QFile::remove(splash));
        QVERIFY(QFile::link(victim.filePath("target.txt"), splash));
        folder.remove();
        QVERIFY(!QFileInfo::exists(folder.path()));
        QCOMPARE(readFile(victim.filePath("target.txt")), QByteArray("target"));
    }

    void removesOnlyWhatItCreated()
    {
        InstanceFolder folder;
        QVERIFY(!folder.addCopy(":/splash", "splash.png").isEmpty());
        writeFile(folder.path() + "/not-ours.bin", "x");
        folder.remove();
        // The folder stays with the file it did not make; its own file is gone.
        QCOMPARE(QDir(folder.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList{"not-ours.bin"});
        QDir(folder.path()).removeRecursively();
    }

    void folderReplacedByALinkIsLeftAlone()
    {
        writeFile(victim.filePath("precious.txt"), "keep me");
        InstanceFolder folder;
        const QString splash = folder.addCopy(":/splash", "splash.png");
        QVERIFY(QFile::remove(splash));
        QVERIFY(QDir().rmdir(folder.path()));
        QVERIFY(QFile::link(victim.path(), folder.path()));
        writeFile(victim.filePath("splash.png"), "not the program's");
        folder.remove();
        QCOMPARE(readFile(victim.filePath("splash.png")), QByteArray("not the program's"));
        QVERIFY(QFile::remove(folder.path()));
        QVERIFY(QFile::remove(victim.filePath("splash.png")));
    }

    void twoInstancesHaveTwoFolders()
    {
        InstanceFolder first;
        InstanceFolder second;
        QVERIFY(first.path() != second.path());
        const QString firstSplash = first.addCopy(":/splash", "splash.png");
        const QString secondSplash = second.addCopy(":/splash", "splash.png");
        first.remove();
        QVERIFY(!QFileInfo::exists(firstSplash));
        QVERIFY(QFileInfo::exists(secondSplash));
        // A second removal does nothing.
        first.remove();
        QVERIFY(QFileInfo::exists(secondSplash));
    }

    void namesCannotLeaveTheFolder()
    {
        InstanceFolder folder;
        QCOMPARE(folder.addCopy(":/splash", "../escaped.png"), QString());
        QVERIFY(!QFileInfo::exists(shared.filePath("escaped.png")));
    }

    void runtimeFolderWhenPrivate()
    {
        QTemporaryDir runtime;
        QVERIFY(QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                           | QFileDevice::ExeOwner));
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        QCOMPARE(InstanceFolder::baseLocation(), QDir(runtime.path()).path());
        {
            InstanceFolder folder;
            QCOMPARE(QFileInfo(folder.path()).dir().path(), QDir(runtime.path()).path());
        }

        // Open to others, or a link: the temporary folder is used instead.
        QVERIFY(QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                           | QFileDevice::ExeOwner | QFileDevice::WriteOther
                                                           | QFileDevice::ExeOther));
        QCOMPARE(InstanceFolder::baseLocation(), QDir::tempPath());
        QVERIFY(QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                           | QFileDevice::ExeOwner));
        const QString link = shared.filePath("runtime-link");
        QVERIFY(QFile::link(runtime.path(), link));
        qputenv("XDG_RUNTIME_DIR", link.toLocal8Bit());
        QCOMPARE(InstanceFolder::baseLocation(), QDir::tempPath());
        qputenv("XDG_RUNTIME_DIR", "relative/path");
        QCOMPARE(InstanceFolder::baseLocation(), QDir::tempPath());
        QFile::remove(link);
    }
};

ORVANTA_TEST_MAIN(TestInstanceFolder, TestMain::Core)
#include "tst_InstanceFolder.moc"
