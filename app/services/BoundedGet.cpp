#include "app/services/BoundedGet.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

const char *const BoundedGet::kTooLargeText = "The answer from the server is too large.";

BoundedGet::BoundedGet(const QUrl &url, QObject *parent, int timeoutMs)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    // Asking for identity keeps Qt from inflating a small compressed body
    // into a large one before it is counted.
    request.setRawHeader("Accept-Encoding", "identity");
    reply = manager->get(request);
    // Qt stops reading from the socket while this much is waiting, so a
    // flood never piles up in memory between two readyRead signals.
    reply->setReadBufferSize(kMaxBodyBytes + 1);
    connect(reply, &QNetworkReply::metaDataChanged, this, &BoundedGet::checkDeclaredLength);
    connect(reply, &QNetworkReply::readyRead, this, &BoundedGet::readAvailable);
    connect(reply, &QNetworkReply::finished, this, &BoundedGet::complete);
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] { giveUp(true); });
    deadline.start(timeoutMs);
}

void BoundedGet::checkDeclaredLength()
{
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > kMaxBodyBytes)
        giveUp(false);
}

void BoundedGet::readAvailable()
{
    if (done || !reply)
        return;
    takeBody();
    if (body.size() > kMaxBodyBytes)
        giveUp(false);
}

void BoundedGet::takeBody()
{
    body += reply->read(kMaxBodyBytes + 1 - body.size());
}

void BoundedGet::giveUp(bool afterTimeout)
{
    if (done || !reply)
        return;
    timedOut = afterTimeout;
    tooLarge = !afterTimeout;
    // abort() emits finished() at once, which completes the request.
    reply->abort();
}

void BoundedGet::complete()
{
    if (done)
        return;
    done = true;
    deadline.stop();
    if (!timedOut && !tooLarge) {
        takeBody();
        tooLarge = body.size() > kMaxBodyBytes;
    }
    Result result;
    result.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.error = reply->error();
    result.errorString = reply->errorString();
    result.timedOut = timedOut;
    result.tooLarge = tooLarge;
    if (result.tooLarge) {
        result.error = QNetworkReply::UnknownContentError;
        result.errorString = QLatin1String(kTooLargeText);
    } else if (result.timedOut) {
        result.error = QNetworkReply::TimeoutError;
        result.errorString = QStringLiteral("Operation timed out");
    } else {
        result.body = body;
    }
    body.clear();
    emit finished(result);
    // The reply is the manager's child and goes with it.
    deleteLater();
}
