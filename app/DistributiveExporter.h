#pragma once
#include <QDate>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

class QProgressDialog;
class QWidget;

// Exports a portable copy of the program folder ("App") next to START.sh,
// which starts the copy with a given link.
class DistributiveExporter
{
public:
    static constexpr int kMaxNamingTries = 100;

    DistributiveExporter(QWidget *boxParent, QString programDir);
    ~DistributiveExporter();

    // Asks for the target folder, exports and opens the result. The folder
    // dialog's caption warns when the link carries the passphrase.
    void run(const QString &link, bool carriesPassphrase = false);
    static const char *const kCaption;
    static const char *const kCaptionWithPassphrase;

    // Returns the new folder, or an empty text after a "Warning" box.
    QString exportTo(const QString &chosenDir, const QString &link, const QDate &date = QDate::currentDate());

    // "Orvanta_<date>", then " (2)", " (3)", ... up to kMaxNamingTries names.
    static QString createExportFolder(const QString &parentDir, const QDate &date);
    static bool isSameOrInside(const QString &path, const QString &folder);
    static QString shellQuote(const QString &argument);
    static QByteArray startScript(const QString &link);
    static bool writeStartScript(const QString &folder, const QString &link);

    // Recursive copy without hidden entries; failed files are collected
    // in copyFailures() and logged, and the copy goes on.
    void copyFolder(const QString &source, const QString &target);
    QStringList copyFailures() const { return failures; }

private:
    void copyEntries(const QString &source, const QString &target);
    void copyFile(const QString &source, const QString &target);
    static int countFiles(const QString &folder, int limit);
    void warn(const QString &text) const;
    void reportFailures() const;

    QPointer<QWidget> boxParent;
    QString programDir;
    QStringList failures;
    QSet<QString> foldersInProgress; // guards against symlink loops
    QProgressDialog *progress = nullptr;
    int copied = 0;
};
