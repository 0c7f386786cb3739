#pragma once
#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>

class QNetworkAccessManager;
class QWidget;

// Turns a nine-digit number into a link through the lookup service.
// Every request ends with replyFinished(); a good answer also emits
// linkReceived() after it, failures show an "Error" box on boxParent.
class NumberLookup : public QObject
{
    Q_OBJECT
public:
    struct Outcome
    {
        bool ok = false;
        QString url;          // when ok
        QString errorMessage; // otherwise
    };

    static constexpr int kTimeoutMs = 30000;

    explicit NumberLookup(QWidget *boxParent, QObject *parent = nullptr);

    static bool isValidNumber(const QString &text);

    // Shows "Invalid number." and returns false when the text is no number;
    // otherwise sends the request (or, without an origin, reports that no
    // answer came) and returns true.
    bool request(const QString &origin, const QString &number);

    static QString requestUrl(const QString &origin, const QString &number);
    static Outcome evaluate(int httpStatus, QNetworkReply::NetworkError error,
                            const QString &errorString, const QByteArray &body);

signals:
    void replyFinished();
    void linkReceived(const QString &url);

private slots:
    void onReplyFinished();

private:
    void finish(const Outcome &outcome);

    QPointer<QWidget> boxParent;
};
