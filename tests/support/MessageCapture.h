#pragma once
#include <QStringList>
#include <QtTest>

#include <mutex>
#include <vector>

// Collects everything written to the Qt debug stream (any thread) while it
// lives; one capture at a time. To wait for an event, prefer the component's
// signals or state where it has any.
class MessageCapture
{
public:
    MessageCapture()
    {
        std::lock_guard<std::mutex> lock(mutex);
        captured.clear();
        previous = qInstallMessageHandler(&MessageCapture::handle);
    }
    ~MessageCapture() { qInstallMessageHandler(previous); }
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList lines() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return QStringList(captured.begin(), captured.end());
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        captured.clear();
    }
    int count(const QString &text) const { return int(lines().filter(text).size()); }  // lines containing text
    bool waitFor(const QString &text, int timeoutMs) const  // runs the event loop meanwhile
    {
        return QTest::qWaitFor([&] { return count(text) > 0; }, timeoutMs);
    }

private:
    // std::mutex and copies of a standard container: thread sanitizer sees every hand-over.
    static inline std::mutex mutex;
    static inline std::vector<QString> captured;
    static inline QtMessageHandler previous = nullptr;

    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            captured.push_back(message);
        }
        // Warnings and worse still reach the test log.
        if (type != QtDebugMsg && type != QtInfoMsg && previous)
            previous(type, context, message);
    }
};
