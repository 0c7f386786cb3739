#pragma once
#include <QDate>
#include <QMap>
#include <QPointer>
#include <QString>
#include <QStringList>

class QWidget;

// Exports a portable copy of the program next to START.sh, which starts the
// copy with a given link:
//
//     Orvanta_<date>/START.sh
//     Orvanta_<date>/App/orvanta, App/qt.conf
//     Orvanta_<date>/App/confirmed-servers  the link's server, which the copy's
//                                   links may start without a question
//     Orvanta_<date>/App/lib/        the libraries a desktop system lacks
//     Orvanta_<date>/App/plugins/    Qt's X11 platform plugin and its helpers
//
// The copy is made in a hidden folder beside the target and renamed into
// place when complete, so that a failed export leaves nothing behind.
class DistributiveExporter
{
public:
    static constexpr int kMaxNamingTries = 100;

    struct Result {
        QString folder;  // empty on failure
        qint64 bytes = 0;
        QString error;   // empty on success
    };

    DistributiveExporter(QWidget *boxParent, QString programFile);
    ~DistributiveExporter();

    // Asks for the target folder, exports, reports the result and opens the
    // folder. The folder dialog's caption warns when the link carries the
    // passphrase. True when a copy was made.
    bool run(const QString &link, bool carriesPassphrase = false);
    static const char *const kCaption;
    static const char *const kCaptionWithPassphrase;

    Result exportTo(const QString &chosenDir, const QString &link, const QDate &date = QDate::currentDate());
    // The status line's text, and on failure a "Warning" box.
    void report(const Result &result) const;
    static QString statusText(const Result &result);

    // The desktop folder when it exists, else the home folder.
    static QString startFolder();
    // Qt plugins the copy carries, relative to a plugin folder.
    static QStringList pluginFiles(const QString &pluginDir);
    // The first of Qt's plugin folders that holds the X11 platform plugin.
    static QString pluginFolder();
    // Takes the plugins from this folder instead.
    void setPluginFolder(const QString &folder) { pluginDir = folder; }

    static bool isSameOrInside(const QString &path, const QString &folder);
    static QString shellQuote(const QString &argument);
    static QByteArray startScript(const QString &link);
    static bool writeStartScript(const QString &folder, const QString &link);
    static bool writeConfirmedServer(const QString &folder, const QString &link);

private:
    bool fillStaging(const QString &staging, const QString &link, QString *error);
    bool copyAll(const QMap<QString, QString> &copies, QString *error);
    static bool copyFile(const QString &source, const QString &target, QString *error);
    static bool checkSelfContained(const QString &staging, QString *error);
    static QString moveIntoPlace(const QString &staging, const QString &parentDir, const QDate &date, QString *error);
    static qint64 folderSize(const QString &folder);

    QPointer<QWidget> boxParent;
    QString programFile;
    QString pluginDir;
};
