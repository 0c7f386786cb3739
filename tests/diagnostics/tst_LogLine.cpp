#include "diagnostics/LogFile.h"
#include "diagnostics/LogLine.h"
#include "tests/support/TestMain.h"

class TestLogLine : public QObject
{
    Q_OBJECT
private slots:
    // Everything of the debug stream goes to the file as well, which never
    // grows past its limit: the older half is kept once as ".1". Log lines
    // are debug lines of their own category, which filter rules silence.
    void fileKeepsTheLogBoundedAndRotatesOnce()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath("state/orvanta/orvanta.log");
        QVERIFY(LogFile::install(path, 4096));
        QCOMPARE(LogFile::path(), path);
        for (int i = 0; i < 400; ++i)
            logLine(QString("line %1 of the running log").arg(i, 3, 10, QChar('0')));
        QLoggingCategory::setFilterRules("orvanta.log.debug=false");
        logLine("silenced");
        QLoggingCategory::setFilterRules(QString());
        qWarning() << "the last word";
        LogFile::uninstall();
        QVERIFY(LogFile::path().isEmpty());
        QFile current(path);
        QFile older(path + ".1");
        QVERIFY(current.open(QIODevice::ReadOnly));
        QVERIFY(older.open(QIODevice::ReadOnly));
        QVERIFY(current.size() <= 4096 && older.size() <= 4096);
        QVERIFY(older.size() > 2048);
        const QByteArray text = current.readAll();
        QVERIFY2(text.endsWith("warning: the last word\n"), text.right(200).constData());
        QVERIFY(text.contains("debug: --LOG: \"line 399 of the running log\""));
        QVERIFY(!text.contains("silenced"));
        QVERIFY(!QFile::exists(path + ".2"));
        // Written after uninstall: not in the file.
        logLine("after");
        QFile again(path);
        QVERIFY(again.open(QIODevice::ReadOnly));
        QVERIFY(!again.readAll().contains("after"));
    }

    // With XDG_STATE_HOME set, the real program's log is found there (the single-instance suite).
    void defaultPathWithoutXdgStateHome()
    {
        const QByteArray saved = qgetenv("XDG_STATE_HOME");
        qunsetenv("XDG_STATE_HOME");
        QCOMPARE(LogFile::defaultPath(), QDir::homePath() + "/.local/state/orvanta/orvanta.log");
        if (!saved.isNull())
            qputenv("XDG_STATE_HOME", saved);
    }
};

ORVANTA_TEST_MAIN(TestLogLine, TestMain::Core)
#include "tst_LogLine.moc"
