#pragma once
#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

// The studio's command line.
class StudioOptions
{
public:
    // Parses the arguments; on a bad value returns false with a reason in
    // *error. --help prints the usage and sets helpShown.
    bool parse(const QStringList &arguments, QString *error);

    QString srtHost = QStringLiteral("127.0.0.1");
    quint16 srtPort = 9000;
    QString httpHost = QStringLiteral("127.0.0.1");
    quint16 httpPort = 8080;
    QString recordDir = QStringLiteral("studio-recordings");
    QString feedback = QStringLiteral("echo");
    QMap<QString, QString> numbers;  // digits only -> link
    QString manifestFile;
    int maxCallers = kDefaultMaxCallers;
    QByteArray passphrase;  // empty: callers come in unencrypted
    bool helpShown = false;

    static QString digitsOf(const QString &number);

    // A client holds three connections while it streams (media, feedback,
    // arrows), so the default serves about twenty at once.
    static constexpr int kDefaultMaxCallers = 64;
    static constexpr int kMostMaxCallers = 10000;
    // libsrt's limits for a passphrase.
    static constexpr int kMinPassphrase = 10;
    static constexpr int kMaxPassphrase = 79;
};
