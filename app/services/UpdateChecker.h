#pragma once
#include "OrvantaVersion.h"

#include "app/services/BoundedGet.h"
#include "app/services/UpdateManifest.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QSettings;
class QWidget;

// Asks the update server once for its manifest and offers a newer build,
// unless the user chose to skip exactly that build ("SKIP_UPDATE").
class UpdateChecker : public QObject
{
    Q_OBJECT
public:
    static constexpr int kOwnBuild = ORVANTA_BUILD_NUMBER;
    // For the whole request, however slowly the manifest arrives.
    static constexpr int kTimeoutMs = BoundedGet::kTimeoutMs;

    using Manifest = UpdateManifest;

    UpdateChecker(QSettings *settings, QWidget *boxParent, QObject *parent = nullptr);

    // An empty URL skips the check.
    void check(const QString &manifestUrl);
    void setTimeout(int milliseconds) { timeoutMs = milliseconds; }

    static Manifest parseManifest(const QByteArray &body) { return UpdateManifest::parse(body); }
    bool shouldOffer(const Manifest &manifest) const;

signals:
    // After every handled reply, whatever its outcome.
    void checked();

private:
    void handleReply(const BoundedGet::Result &result);
    void offer(const Manifest &manifest);

    QSettings *settings;
    QPointer<QWidget> boxParent;
    QUrl manifestUrl;
    int timeoutMs = kTimeoutMs;
};
