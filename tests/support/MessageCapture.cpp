#include "MessageCapture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace {
QMutex capturedMutex;
QStringList captured;
QtMessageHandler previousHandler = nullptr;
}

MessageCapture::MessageCapture()
{
    clear();
    previousHandler = qInstallMessageHandler(&MessageCapture::handle);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(previousHandler);
}

void MessageCapture::handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker lock(&capturedMutex);
        captured.append(message);
    }
    // Warnings and worse still reach the test log.
    if (type != QtDebugMsg && type != QtInfoMsg && previousHandler)
        previousHandler(type, context, message);
}

QStringList MessageCapture::lines() const
{
    QMutexLocker lock(&capturedMutex);
    return captured;
}

int MessageCapture::count(const QString &text) const
{
    int matches = 0;
    for (const QString &line : lines())
        matches += line.contains(text) ? 1 : 0;
    return matches;
}

bool MessageCapture::waitFor(const QString &text, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (count(text) == 0) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

void MessageCapture::clear()
{
    QMutexLocker lock(&capturedMutex);
    captured.clear();
}
