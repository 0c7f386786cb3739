#pragma once
#include <QByteArray>
#include <QNetworkReply>
#include <QString>

class QJsonObject;

// What the number lookup makes of one reply: the link to load, or the text
// of the error box. Pure, so that hostile answers can be fuzzed alone.
struct LookupAnswer
{
    static const char *const kNoAnswer;
    static const char *const kEmptyAnswer;
    static const char *const kUnknownError;
    static const char *const kUnusableLink;

    bool ok = false;
    QString url;          // when ok
    QString errorMessage; // otherwise

    static LookupAnswer evaluate(int httpStatus, QNetworkReply::NetworkError error, const QString &errorString,
                                 const QByteArray &body);

private:
    static LookupAnswer failure(const QString &message);
    static LookupAnswer fromObject(const QJsonObject &object);
};
