#include "app/services/PassphraseStore.h"

#include "app/services/SettingsKeys.h"
#include "diagnostics/LogLine.h"

#include <QEventLoop>
#include <QFile>
#include <QSettings>
#include <QTimer>

#include <qt5keychain/keychain.h>

const char *const PassphraseStore::kService = "Orvanta";
const char *const PassphraseStore::kFallbackText =
    "No secret service answers: the passphrase stays in the settings file, readable by you only";

namespace {

// Runs a job to its end, or gives up after the wait (a store that does not
// answer counts as none).
bool finishes(QKeychain::Job &job)
{
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    bool done = false;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, [&done] { done = true; });
    job.setAutoDelete(false);
    job.start();
    limit.start(PassphraseStore::kWaitMs);
    if (!done)
        loop.exec(QEventLoop::ExcludeUserInputEvents);
    return done;
}

} // namespace

PassphraseStore::PassphraseStore(QSettings *settings) : m_settings(settings) {}

QString PassphraseStore::entryKey() const
{
    return SettingsKeys::Passphrase + QLatin1Char('@') + m_settings->fileName();
}

PassphraseStore::Outcome PassphraseStore::read(QString *passphrase) const
{
    QKeychain::ReadPasswordJob job(QString::fromLatin1(kService));
    job.setKey(entryKey());
    if (!finishes(job))
        return Outcome::NoStore;
    if (job.error() == QKeychain::NoError) {
        *passphrase = job.textData();
        return Outcome::Done;
    }
    return job.error() == QKeychain::EntryNotFound ? Outcome::NotFound : Outcome::NoStore;
}

PassphraseStore::Outcome PassphraseStore::write(const QString &passphrase) const
{
    QKeychain::WritePasswordJob job(QString::fromLatin1(kService));
    job.setKey(entryKey());
    job.setTextData(passphrase);
    return finishes(job) && job.error() == QKeychain::NoError ? Outcome::Done : Outcome::NoStore;
}

PassphraseStore::Outcome PassphraseStore::remove() const
{
    QKeychain::DeletePasswordJob job(QString::fromLatin1(kService));
    job.setKey(entryKey());
    if (!finishes(job))
        return Outcome::NoStore;
    if (job.error() == QKeychain::NoError || job.error() == QKeychain::EntryNotFound)
        return Outcome::Done;
    return Outcome::NoStore;
}

QString PassphraseStore::load()
{
    const QString inFile = m_settings->value(SettingsKeys::Passphrase).toString();
    QString stored;
    const Outcome outcome = read(&stored);
    m_secretStore = outcome != Outcome::NoStore;
    if (!m_secretStore) {
        keepInFile(inFile);
        return inFile;
    }
    if (!inFile.isEmpty()) {
        // The file's copy is the newer: it was written while no store answered.
        if (write(inFile) == Outcome::Done) {
            forgetFileCopy();
            return inFile;
        }
        m_secretStore = false;
        keepInFile(inFile);
        return inFile;
    }
    return outcome == Outcome::Done ? stored : QString();
}

void PassphraseStore::save(const QString &passphrase)
{
    const Outcome outcome = passphrase.isEmpty() ? remove() : write(passphrase);
    m_secretStore = outcome == Outcome::Done;
    if (m_secretStore)
        forgetFileCopy();
    else
        keepInFile(passphrase);
}

void PassphraseStore::keepInFile(const QString &passphrase)
{
    if (passphrase.isEmpty()) {
        forgetFileCopy();
        return;
    }
    m_settings->setValue(SettingsKeys::Passphrase, passphrase);
    m_settings->sync();
    QFile::setPermissions(m_settings->fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (!m_toldFallback)
        logLine(QString::fromUtf8(kFallbackText));
    m_toldFallback = true;
}

void PassphraseStore::forgetFileCopy()
{
    if (!m_settings->contains(SettingsKeys::Passphrase))
        return;
    m_settings->remove(SettingsKeys::Passphrase);
    m_settings->sync();
}
