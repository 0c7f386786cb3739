#include "app/session/BroadcastPlan.h"

#include "app/links/ServerField.h"
#include "transport/srt/SrtCallerUrl.h"

BroadcastPlan BroadcastPlan::fromFields(const ServerField &server, const QString &streamId)
{
    BroadcastPlan plan;
    plan.endpoint.host = server.host();
    plan.endpoint.port = server.port();
    plan.endpoint.streamId = streamId;
    return plan;
}

QString BroadcastPlan::feedbackUrl(int latencyMs) const
{
    SrtEndpoint feedback = endpoint.withLatency(latencyMs);
    feedback.streamId = endpoint.streamId.trimmed() + QStringLiteral("#feedbackplay");
    return SrtCallerUrl::build(feedback);
}

QString BroadcastPlan::problem() const
{
    if (endpoint.host.trimmed().isEmpty())
        return QStringLiteral("No server host given.");
    if (endpoint.port < 1 || endpoint.port > 65535)
        return QStringLiteral("The server port must be a number from 1 to 65535.");
    const int longest = kMaxStreamIdBytes - kLongestSuffixBytes;
    if (endpoint.streamId.toLocal8Bit().size() > longest)
        return QStringLiteral("The stream ID is too long (at most %1 characters).").arg(longest);
    return passphraseProblem(endpoint.passphrase);
}

QString BroadcastPlan::passphraseProblem(const QByteArray &passphrase)
{
    const int length = passphrase.size();
    if (length == 0 || (length >= kMinPassphraseBytes && length <= kMaxPassphraseBytes))
        return QString();
    return QStringLiteral("The passphrase must be %1 to %2 characters long (now %3), or empty for no encryption.")
        .arg(kMinPassphraseBytes)
        .arg(kMaxPassphraseBytes)
        .arg(length);
}
