#pragma once
#include <QStringList>

// Collects everything written to the Qt debug stream (any thread) while it
// lives; at most one capture at a time. For checking the log lines a
// component is meant to write; to wait for something to happen, prefer its
// signals, counters or state where it has any.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList lines() const;
    int count(const QString &text) const;      // lines containing text
    bool waitFor(const QString &text, int timeoutMs) const;  // runs the event loop meanwhile
    void clear();

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message);
};
