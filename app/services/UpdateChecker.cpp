#include "app/services/UpdateChecker.h"

#include "diagnostics/LogLine.h"

#include <QMessageBox>
#include <QPushButton>
#include <QSettings>

UpdateChecker::UpdateChecker(QSettings *settings, QWidget *boxParent, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , boxParent(boxParent)
{
}

void UpdateChecker::check(const QString &url)
{
    if (url.isEmpty())
        return;
    manifestUrl = QUrl(url);
    // Parented to this object, it deletes itself once it has answered.
    auto *get = new BoundedGet(manifestUrl, this, timeoutMs);
    connect(get, &BoundedGet::finished, this, &UpdateChecker::handleReply);
}

bool UpdateChecker::shouldOffer(const Manifest &manifest) const
{
    return manifest.build > kOwnBuild && settings->value("SKIP_UPDATE", 0).toInt() != manifest.build;
}

void UpdateChecker::handleReply(const BoundedGet::Result &result)
{
    if (result.error == QNetworkReply::NoError) {
        const Manifest manifest = parseManifest(result.body);
        if (shouldOffer(manifest))
            offer(manifest);
    } else if (result.tooLarge || result.timedOut) {
        logLine(QStringLiteral("update manifest ignored: ") + result.errorString);
    }
    emit checked();
}

void UpdateChecker::offer(const Manifest &manifest)
{
    if (!manifest.hasDownloadLink(manifestUrl))
        logLine(QStringLiteral("update offer without a download link: the link is no web address"));
    QMessageBox box(QMessageBox::Information, "Update Info", manifest.offerText(manifestUrl), QMessageBox::NoButton,
                    boxParent);
    // Escaped by offerText, so the manifest's own markup shows as text.
    box.setTextFormat(Qt::RichText);
    QPushButton *skip = box.addButton("Skip this update", QMessageBox::YesRole);
    QPushButton *later = box.addButton("Remind Later", QMessageBox::NoRole);
    box.setDefaultButton(later);
    box.exec();
    if (box.clickedButton() == skip) {
        settings->setValue("SKIP_UPDATE", manifest.build);
        settings->sync();
    }
}
