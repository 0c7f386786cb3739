#include "app/UpdateChecker.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPushButton>
#include <QSettings>
#include <QUrl>

UpdateChecker::UpdateChecker(QSettings *settings, QWidget *boxParent, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , boxParent(boxParent)
{
}

void UpdateChecker::check(const QString &manifestUrl)
{
    if (manifestUrl.isEmpty())
        return;
    auto *manager = new QNetworkAccessManager(this);
    connect(manager, &QNetworkAccessManager::finished, this, &UpdateChecker::handleReply);
    QNetworkRequest request{QUrl(manifestUrl)};
    request.setTransferTimeout(kTimeoutMs);
    manager->get(request);
}

UpdateChecker::Manifest UpdateChecker::parseManifest(const QByteArray &body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    return {object.value("build").toInt(0), object.value("msg").toString(), object.value("url").toString()};
}

QString UpdateChecker::offerText(const Manifest &manifest)
{
    return manifest.msg + QString("    <a href='%1' style='color:white;'>Download</a>").arg(manifest.url);
}

bool UpdateChecker::shouldOffer(const Manifest &manifest) const
{
    return manifest.build > kOwnBuild && settings->value("SKIP_UPDATE", 0).toInt() != manifest.build;
}

void UpdateChecker::handleReply(QNetworkReply *reply)
{
    // Failed checks are dropped too, so no manager outlives its only request.
    reply->deleteLater();
    reply->manager()->deleteLater();
    if (reply->error() == QNetworkReply::NoError) {
        const Manifest manifest = parseManifest(reply->readAll());
        if (shouldOffer(manifest))
            offer(manifest);
    }
    emit checked();
}

void UpdateChecker::offer(const Manifest &manifest)
{
    QMessageBox box(QMessageBox::Information, "Update Info", offerText(manifest), QMessageBox::NoButton, boxParent);
    QPushButton *skip = box.addButton("Skip this update", QMessageBox::YesRole);
    QPushButton *later = box.addButton("Remind Later", QMessageBox::NoRole);
    box.setDefaultButton(later);
    box.exec();
    if (box.clickedButton() == skip) {
        settings->setValue("SKIP_UPDATE", manifest.build);
        settings->sync();
    }
}
