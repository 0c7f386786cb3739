#include "MessageCapture.h"

#include <QtTest>

#include <mutex>
#include <vector>

namespace {
// std::mutex rather than QMutex, and lines handed out as copies of a
// standard container rather than a shared Qt one: thread sanitizer builds
// see every hand-over.
std::mutex capturedMutex;
std::vector<QString> captured;
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
        captured.push_back(message);
    }
    // Warnings and worse still reach the test log.
    if (type != QtDebugMsg && type != QtInfoMsg && previousHandler)
        previousHandler(type, context, message);
}

QStringList MessageCapture::lines() const
{
    std::lock_guard<std::mutex> lock(capturedMutex);
    return QStringList(captured.begin(), captured.end());
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
