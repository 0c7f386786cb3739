#include "MessageCapture.h"

#include <QtTest>

#include <mutex>

namespace {
// std::mutex rather than QMutex: thread sanitizer builds see it.
std::mutex capturedMutex;
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
        std::lock_guard<std::mutex> lock(capturedMutex);
        captured.append(message);
    }
    // Warnings and worse still reach the test log.
    if (type != QtDebugMsg && type != QtInfoMsg && previousHandler)
        previousHandler(type, context, message);
}

QStringList MessageCapture::lines() const
{
    std::lock_guard<std::mutex> lock(capturedMutex);
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
    return QTest::qWaitFor([&] { return count(text) > 0; }, timeoutMs);
}

void MessageCapture::clear()
{
    std::lock_guard<std::mutex> lock(capturedMutex);
    captured.clear();
}
