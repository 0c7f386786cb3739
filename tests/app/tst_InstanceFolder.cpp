#include "app/InstanceFolder.h"
#include "tests/support/TestMain.h"

#include <sys/stat.h>

namespace {
void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}
QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
}
} // namespace

// The program's private temporary folder, with the shared folder (the test's
// private TMPDIR) set up as another user of the machine could have left it.
class TestInstanceFolder : public QObject
{
    Q_OBJECT
    QTemporaryDir victim; // what a planted link points at
    const QString shared = QDir::tempPath();

private slots:
    void init()
    {
        qunsetenv("XDG_RUNTIME_DIR");
        writeFile(victim.filePath("precious.txt"), "keep me");
    }
    void cleanup() { QCOMPARE(readFile(victim.filePath("precious.txt")), QByteArray("keep me")); }

    void plantedLinkIsNeitherWrittenNorRemoved()
    {
        // The name the program once used, planted as a link to another user's files.
        QVERIFY(QFile::link(victim.path(), shared + "/orvanta"));
        QString folderPath;
        {
            InstanceFolder folder;
            QVERIFY(folder.isValid());
            folderPath = folder.path();
            QCOMPARE(QFileInfo(folderPath).dir().path(), QDir(shared).path());
            QVERIFY(QFileInfo(folderPath).fileName().startsWith("orvanta-"));
            struct stat info {};
            QCOMPARE(::lstat(QFile::encodeName(folderPath).constData(), &info), 0);
            QCOMPARE(int(info.st_mode & 07777), 0700);
            const QString splash = folder.addCopy(":/splash", "splash.png");
            QCOMPARE(splash, folderPath + "/splash.png");
            QCOMPARE(QImage(splash).size(), QSize(1280, 720));
            QCOMPARE(folder.addCopy(":/splash", "../escaped.png"), QString());
        }
        QVERIFY(!QFileInfo::exists(folderPath));
        QVERIFY(!QFileInfo::exists(shared + "/escaped.png"));
        QVERIFY(QFileInfo(shared + "/orvanta").isSymLink());
        QCOMPARE(entries(victim.path()), QStringList{"precious.txt"});
        QFile::remove(shared + "/orvanta");
    }

    // Between start and end the folder's content is changed under it: its
    // own file replaced by a link, a file added that it did not make, or the
    // whole folder replaced by a link. Removal takes only its own file.
    void removalTakesOnlyItsOwnFile_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("a link in place of its file") << 0;
        QTest::newRow("a file it did not make") << 1;
        QTest::newRow("the folder replaced by a link") << 2;
    }
    void removalTakesOnlyItsOwnFile()
    {
        QFETCH(int, change);
        InstanceFolder folder;
        const QString splash = folder.addCopy(":/splash", "splash.png");
        QVERIFY(!splash.isEmpty());
        if (change == 0) {
            QVERIFY(QFile::remove(splash));
            QVERIFY(QFile::link(victim.filePath("precious.txt"), splash));
        } else if (change == 1) {
            writeFile(folder.path() + "/not-ours.bin", "x");
        } else {
            QVERIFY(QFile::remove(splash));
            QVERIFY(QDir().rmdir(folder.path()));
            QVERIFY(QFile::link(victim.path(), folder.path()));
            writeFile(victim.filePath("splash.png"), "not the program's");
        }
        folder.remove();
        if (change == 0)
            QVERIFY(!QFileInfo::exists(folder.path()));
        if (change == 1)
            QCOMPARE(entries(folder.path()), QStringList{"not-ours.bin"});
        if (change == 2) {
            QCOMPARE(readFile(victim.filePath("splash.png")), QByteArray("not the program's"));
            QVERIFY(QFile::remove(folder.path()) && QFile::remove(victim.filePath("splash.png")));
        }
        QDir(folder.path()).removeRecursively();
    }

    void twoInstancesHaveTwoFolders()
    {
        InstanceFolder first, second;
        QVERIFY(first.path() != second.path());
        const QString firstSplash = first.addCopy(":/splash", "splash.png");
        const QString secondSplash = second.addCopy(":/splash", "splash.png");
        first.remove();
        QVERIFY(!QFileInfo::exists(firstSplash));
        QVERIFY(QFileInfo::exists(secondSplash));
        first.remove(); // a second removal does nothing
        QVERIFY(QFileInfo::exists(secondSplash));
    }

    // The runtime folder when it is private; open to others, a link or a
    // relative path: the temporary folder.
    void runtimeFolderWhenPrivate()
    {
        QTemporaryDir runtime;
        const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
        QVERIFY(QFile::setPermissions(runtime.path(), owner));
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        QCOMPARE(InstanceFolder::baseLocation(), QDir(runtime.path()).path());
        QCOMPARE(QFileInfo(InstanceFolder().path()).dir().path(), QDir(runtime.path()).path());
        QVERIFY(QFile::setPermissions(runtime.path(), owner | QFileDevice::WriteOther | QFileDevice::ExeOther));
        QCOMPARE(InstanceFolder::baseLocation(), QDir::tempPath());
        QVERIFY(QFile::setPermissions(runtime.path(), owner));
        const QString link = shared + "/runtime-link";
        QVERIFY(QFile::link(runtime.path(), link));
        qputenv("XDG_RUNTIME_DIR", link.toLocal8Bit());
        QCOMPARE(InstanceFolder::baseLocation(), QDir::tempPath());
        qputenv("XDG_RUNTIME_DIR", "relative/path");
        QCOMPARE(InstanceFolder::baseLocation(), QDir::tempPath());
        QFile::remove(link);
    }
};

ORVANTA_TEST_MAIN(TestInstanceFolder, TestMain::Core | TestMain::PrivateFolders)
#include "tst_InstanceFolder.moc"
