#pragma once
#include <QString>

class QSettings;

// The SRT passphrase kept in the desktop's secret store (the Secret Service,
// through QtKeychain), not in the settings file. One entry per settings
// file, so a portable copy or a second installation keeps its own. Where no
// secret store answers within kWaitMs, the passphrase stays in the settings
// file, which is then made readable by its owner only, and the log says so
// once. Used on the GUI thread; each call waits at most kWaitMs.
class PassphraseStore
{
public:
    static constexpr int kWaitMs = 5000;
    static const char *const kService;
    static const char *const kFallbackText;

    explicit PassphraseStore(QSettings *settings);

    // The stored passphrase. One still in the settings file (from before, or
    // kept there while no store answered) moves into the secret store and
    // leaves the file once the store has it.
    QString load();
    // An empty passphrase removes the stored one.
    void save(const QString &passphrase);

    // Whether the last call reached the secret store.
    bool usesSecretStore() const { return m_secretStore; }

private:
    enum class Outcome { Done, NotFound, NoStore };

    QString entryKey() const;
    Outcome read(QString *passphrase) const;
    Outcome write(const QString &passphrase) const;
    Outcome remove() const;
    void keepInFile(const QString &passphrase);
    void forgetFileCopy();

    QSettings *m_settings;
    bool m_secretStore = false;
    bool m_toldFallback = false;
};
