#include "app/links/NumberLookup.h"

#include <QDebug>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

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
        QTimer::singleShot(0, this, [this] {
            finish(evaluate(0, QNetworkReply::NoError, QString(), QByteArray()));
        });
        return true;
    }
    // Parented to this object, it deletes itself once it has answered.
    auto *get = new BoundedGet(QUrl(requestUrl(origin, number)), this, timeoutMs);
    connect(get, &BoundedGet::finished, this, &NumberLookup::onReplyFinished);
    return true;
}

void NumberLookup::onReplyFinished(const BoundedGet::Result &result)
{
    // An answer that did not arrive in full within the time is no answer,
    // whether or not its status line came.
    const int status = result.timedOut ? 0 : result.httpStatus;
    finish(evaluate(status, result.error, result.errorString, result.body));
}

NumberLookup::Outcome NumberLookup::evaluate(int httpStatus, QNetworkReply::NetworkError error,
                                             const QString &errorString, const QByteArray &body)
{
    return LookupAnswer::evaluate(httpStatus, error, errorString, body);
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
