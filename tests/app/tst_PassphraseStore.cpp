// The passphrase in a real Secret Service (gnome-keyring on a session bus of
// this test's own, unlocked with a test password), and in the settings file
// once no service answers.
#include "app/services/PassphraseStore.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/TestMain.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>

namespace {

constexpr int kWaitMs = 10000;

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestPassphraseStore : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_bus;
    QProcess m_keyring;

    // A session bus that starts no services by itself: the secret store is
    // there only while the test runs it.
    bool startBus()
    {
        const QString config = m_dir.filePath("bus.conf"), socket = m_dir.filePath("bus");
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.write(QString("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
                           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                           "<busconfig><type>session</type><listen>unix:path=%1</listen><auth>EXTERNAL</auth>"
                           "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
                           "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n")
                       .arg(socket).toUtf8());
        file.close();
        m_bus.start("dbus-daemon", {"--config-file=" + config, "--nofork"});
        if (!m_bus.waitForStarted() || !QTest::qWaitFor([&] { return QFile::exists(socket); }, kWaitMs))
            return false;
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + socket.toUtf8());
        return true;
    }

    bool secretsOwned() const
    {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered("org.freedesktop.secrets");
    }

    bool startKeyring()
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", m_dir.path());
        environment.insert("XDG_DATA_HOME", m_dir.filePath("data"));
        environment.insert("XDG_RUNTIME_DIR", m_dir.path());
        m_keyring.setProcessEnvironment(environment);
        m_keyring.start("gnome-keyring-daemon", {"--foreground", "--unlock", "--components=secrets"});
        if (!m_keyring.waitForStarted())
            return false;
        m_keyring.write("test password");
        m_keyring.closeWriteChannel();
        return QTest::qWaitFor([&] { return secretsOwned(); }, kWaitMs);
    }

    QString lookUp(const QString &key)
    {
        QProcess tool;
        tool.start("secret-tool", {"lookup", "server", PassphraseStore::kService, "user", key});
        tool.waitForFinished(kWaitMs);
        return QString::fromUtf8(tool.readAllStandardOutput());
    }

private slots:
    void initTestCase()
    {
        for (const char *program : {"dbus-daemon", "gnome-keyring-daemon", "secret-tool"})
            if (QStandardPaths::findExecutable(program).isEmpty())
                QSKIP("needs dbus-daemon, gnome-keyring and secret-tool (scripts/deps.sh)");
        QVERIFY(m_dir.isValid());
        QVERIFY(startBus());
        QVERIFY2(startKeyring(), m_keyring.readAllStandardError().constData());
    }

    void cleanupTestCase()
    {
        m_keyring.kill();
        m_keyring.waitForFinished();
        m_bus.kill();
        m_bus.waitForFinished();
    }

    // A passphrase from before moves out of the settings file into the store;
    // later ones go there too, an empty one takes it out.
    void passphraseLivesInTheSecretStore()
    {
        const QString ini = m_dir.filePath("store.ini");
        QSettings settings(ini, QSettings::IniFormat);
        settings.setValue("PASSPHRASE", "an older passphrase");
        settings.setValue("URL", "kept.example:9000");
        settings.sync();
        const QString key = "PASSPHRASE@" + ini;

        PassphraseStore store(&settings);
        QCOMPARE(store.load(), QString("an older passphrase"));
        QVERIFY(store.usesSecretStore());
        QVERIFY(!fileText(ini).contains("older"));
        QVERIFY(fileText(ini).contains("kept.example"));
        QCOMPARE(lookUp(key), QString("an older passphrase"));

        store.save("the newer passphrase");
        QSettings again(ini, QSettings::IniFormat);
        QCOMPARE(PassphraseStore(&again).load(), QString("the newer passphrase"));
        QVERIFY(!fileText(ini).contains("newer"));

        store.save(QString());
        QCOMPARE(lookUp(key), QString());
        QCOMPARE(PassphraseStore(&again).load(), QString());
    }

    // Without a secret service the file keeps it, readable by its owner
    // only, and the log says so once.
    void withoutSecretServiceTheFileKeepsIt()
    {
        m_keyring.kill();
        m_keyring.waitForFinished();
        QVERIFY(QTest::qWaitFor([&] { return !secretsOwned(); }, kWaitMs));
        const QString ini = m_dir.filePath("fallback.ini");
        QSettings settings(ini, QSettings::IniFormat);
        MessageCapture log;
        PassphraseStore store(&settings);
        QElapsedTimer waited;
        waited.start();
        store.save("a fallback passphrase");
        store.save("a fallback passphrase 2");
        QVERIFY2(waited.elapsed() < 2 * PassphraseStore::kWaitMs, qPrintable(QString::number(waited.elapsed())));
        QVERIFY(!store.usesSecretStore());
        QVERIFY(fileText(ini).contains("a fallback passphrase 2"));
        QCOMPARE(QFile(ini).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup
                                             | QFileDevice::WriteOther),
                 QFileDevice::Permissions());
        QCOMPARE(log.count(PassphraseStore::kFallbackText), 1);
        QCOMPARE(store.load(), QString("a fallback passphrase 2"));
    }
};

ORVANTA_TEST_MAIN(TestPassphraseStore, TestMain::Core | TestMain::PrivateFolders)
#include "tst_PassphraseStore.moc"
