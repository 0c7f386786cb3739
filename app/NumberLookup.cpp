#include "app/NumberLookup.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

namespace {
const char *const kNoAnswer = "No answer recieved from server.";
const char *const kEmptyAnswer = "Empty answer recieved from server.";

NumberLookup::Outcome failure(const QString &message)
{
    return {false, QString(), message};
}
} // namespace

NumberLookup::NumberLookup(QWidget *boxParent, QObject *parent)
    : QObject(parent)
    , boxParent(boxParent)
{
}

bool NumberLookup::isValidNumber(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral("\\d{3}-\\d{3}-\\d{3}"));
    return pattern.match(text).hasMatch();
}

QString NumberLookup::requestUrl(const QString &origin, const QString &number)
{
    return origin + "/api/srt/get_url/" + number;
}

bool NumberLookup::request(const QString &origin, const QString &number)
{
    if (!isValidNumber(number)) {
        QMessageBox::critical(boxParent, "Error", "Invalid number.", QMessageBox::Ok);
        return false;
    }
    if (origin.isEmpty()) {
        // Answer from the event loop so callers see the same order as with a real reply.
        QTimer::singleShot(0, this, [this] { finish(failure(kNoAnswer)); });
        return true;
    }
    auto *manager = new QNetworkAccessManager(this);
    QNetworkRequest networkRequest(QUrl(requestUrl(origin, number)));
    networkRequest.setTransferTimeout(kTimeoutMs);
    QNetworkReply *reply = manager->get(networkRequest);
    connect(reply, &QNetworkReply::finished, this, &NumberLookup::onReplyFinished);
    return true;
}

void NumberLookup::onReplyFinished()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError error = reply->error();
    const QString errorString = reply->errorString();
    const QByteArray body = reply->readAll();
    // The reply is a child of its manager and goes with it.
    reply->manager()->deleteLater();
    finish(evaluate(status, error, errorString, body));
}

NumberLookup::Outcome NumberLookup::evaluate(int httpStatus, QNetworkReply::NetworkError error,
                                             const QString &errorString, const QByteArray &body)
{
    if (httpStatus != 200)
        return failure(kNoAnswer);
    if (error != QNetworkReply::NoError)
        return failure(errorString);
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    if (object.isEmpty())
        return failure(kEmptyAnswer);
    if (object.contains("error") || object.value("state").toString() == "false" || !object.contains("url")) {
        const QString message = object.value("error").toString();
        return failure(message.isEmpty() ? QStringLiteral("Unknown error") : message);
    }
    return {true, object.value("url").toString(), QString()};
}

void NumberLookup::finish(const Outcome &outcome)
{
    emit replyFinished();
    if (!outcome.ok) {
        QMessageBox::critical(boxParent, "Error", outcome.errorMessage, QMessageBox::Ok);
        return;
    }
    qDebug() << outcome.url;
    emit linkReceived(outcome.url);
}
