#pragma once
#include "app/services/BoundedGet.h"
#include "app/links/LookupAnswer.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

class QWidget;

// Turns a nine-digit number into a link through the lookup service.
// Every request ends with replyFinished(); a good answer also emits
// linkReceived() after it, failures show an "Error" box on boxParent.
class NumberLookup : public QObject
{
    Q_OBJECT
public:
    using Outcome = LookupAnswer;

    // For the whole request, however slowly the answer arrives.
    static constexpr int kTimeoutMs = BoundedGet::kTimeoutMs;

    explicit NumberLookup(QWidget *boxParent, QObject *parent = nullptr);

    static bool isValidNumber(const QString &text);

    // Shows "Invalid number." and returns false when the text is no number;
    // otherwise sends the request (or, without an origin, reports that no
    // answer came) and returns true.
    bool request(const QString &origin, const QString &number);
    // The time the whole request may take; kTimeoutMs unless changed.
    void setTimeout(int milliseconds) { timeoutMs = milliseconds; }

    static QString requestUrl(const QString &origin, const QString &number);
    static Outcome evaluate(int httpStatus, QNetworkReply::NetworkError error,
                            const QString &errorString, const QByteArray &body);

signals:
    void replyFinished();
    void linkReceived(const QString &url);

private:
    void onReplyFinished(const BoundedGet::Result &result);
    void finish(const Outcome &outcome);

    QPointer<QWidget> boxParent;
    int timeoutMs = kTimeoutMs;
};
