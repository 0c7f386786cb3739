#include "app/links/LookupAnswer.h"

#include "app/links/StreamLink.h"

#include <QJsonDocument>
#include <QJsonObject>

const char *const LookupAnswer::kNoAnswer = "No answer recieved from server.";
const char *const LookupAnswer::kEmptyAnswer = "Empty answer recieved from server.";
const char *const LookupAnswer::kUnknownError = "Unknown error";
const char *const LookupAnswer::kUnusableLink = "The server sent a link that cannot be used.";

LookupAnswer LookupAnswer::failure(const QString &message)
{
    LookupAnswer answer;
    answer.errorMessage = message;
    return answer;
}

LookupAnswer LookupAnswer::evaluate(int httpStatus, QNetworkReply::NetworkError error, const QString &errorString,
                                    const QByteArray &body)
{
    if (httpStatus != 200)
        return failure(QLatin1String(kNoAnswer));
    if (error != QNetworkReply::NoError)
        return failure(errorString);
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    if (object.isEmpty())
        return failure(QLatin1String(kEmptyAnswer));
    return fromObject(object);
}

LookupAnswer LookupAnswer::fromObject(const QJsonObject &object)
{
    if (object.contains(QLatin1String("error")) || object.value(QLatin1String("state")).toString() == QLatin1String("false")
        || !object.contains(QLatin1String("url"))) {
        const QString message = object.value(QLatin1String("error")).toString();
        return failure(message.isEmpty() ? QLatin1String(kUnknownError) : message);
    }
    // A link that names no server, port or stream would start a broadcast
    // to whatever the form held before; it is refused instead.
    const QString url = object.value(QLatin1String("url")).toString();
    if (!StreamLink(url).isUsable())
        return failure(QLatin1String(kUnusableLink));
    LookupAnswer answer;
    answer.ok = true;
    answer.url = url;
    return answer;
}
