#pragma once
#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

class QNetworkAccessManager;

// One HTTP GET whose answer is bounded in size and in time: the body may hold
// at most kMaxBodyBytes (reading stops at the first byte more), and the whole
// request, from sending to the last byte, gets kTimeoutMs. Redirects are not
// followed and no compressed body is asked for, so what is counted is what
// arrives. Emits finished() once, then deletes itself.
class BoundedGet : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 kMaxBodyBytes = 64 * 1024;
    static constexpr int kTimeoutMs = 30000;
    static const char *const kTooLargeText;

    struct Result
    {
        int httpStatus = 0;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        QString errorString;
        QByteArray body;
        bool timedOut = false;
        bool tooLarge = false;
    };

    // Sends the request at once through a manager of its own.
    BoundedGet(const QUrl &url, QObject *parent, int timeoutMs = kTimeoutMs);

signals:
    void finished(const BoundedGet::Result &result);

private:
    void readAvailable();
    void takeBody();
    void checkDeclaredLength();
    void giveUp(bool timedOut);
    void complete();

    QNetworkAccessManager *manager = nullptr;
    QPointer<QNetworkReply> reply;
    QTimer deadline;
    QByteArray body;
    bool timedOut = false;
    bool tooLarge = false;
    bool done = false;
};

Q_DECLARE_METATYPE(BoundedGet::Result)
