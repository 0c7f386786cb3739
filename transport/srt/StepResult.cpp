#include "transport/srt/StepResult.h"

StepResult StepResult::failure(const QString &message, const QString &reason)
{
    StepResult result;
    result.m_failed = true;
    result.m_message = message;
    result.m_reason = reason;
    return result;
}

QString StepResult::described() const
{
    if (m_reason.isEmpty())
        return m_message;
    return m_message + QStringLiteral(" (") + m_reason + QLatin1Char(')');
}
