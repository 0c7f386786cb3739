#pragma once
#include <QString>

// The outcome of a step that can fail: success, or a failure with the text
// that names it and, apart from that, the underlying reason when one is
// known (libsrt's, a listener's refusal).
class StepResult
{
public:
    StepResult() = default;  // success
    static StepResult failure(const QString &message, const QString &reason = QString());

    bool ok() const { return !m_failed; }
    // Empty on success.
    const QString &message() const { return m_message; }
    const QString &reason() const { return m_reason; }
    // "SRT CONNECT FAILED (Incorrect passphrase)": the message with the
    // reason behind it in parentheses, the message alone without a reason.
    QString described() const;

private:
    bool m_failed = false;
    QString m_message;
    QString m_reason;
};
