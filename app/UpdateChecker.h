#pragma once
#include "OrvantaVersion.h"

#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkReply;
class QSettings;
class QWidget;

// Asks the update server once for its manifest and offers a newer build,
// unless the user chose to skip exactly that build ("SKIP_UPDATE").
class UpdateChecker : public QObject
{
    Q_OBJECT
public:
    static constexpr int kOwnBuild = ORVANTA_BUILD_NUMBER;
    static constexpr int kTimeoutMs = 30000;

    struct Manifest
    {
        int build = 0;
        QString msg;
        QString url;
    };

    UpdateChecker(QSettings *settings, QWidget *boxParent, QObject *parent = nullptr);

    // An empty URL skips the check.
    void check(const QString &manifestUrl);

    static Manifest parseManifest(const QByteArray &body);
    static QString offerText(const Manifest &manifest);
    bool shouldOffer(const Manifest &manifest) const;

signals:
    // After every handled reply, whatever its outcome.
    void checked();

private slots:
    void handleReply(QNetworkReply *reply);

private:
    void offer(const Manifest &manifest);

    QSettings *settings;
    QPointer<QWidget> boxParent;
};
