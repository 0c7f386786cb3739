#include "app/session/BroadcastPlan.h"

#include "app/links/ServerField.h"

BroadcastPlan BroadcastPlan::fromFields(const ServerField &server, const QString &streamId)
{
    BroadcastPlan plan;
    plan.host = server.host();
    plan.port = server.port();
    plan.streamId = streamId;
    plan.feedbackUrl = QStringLiteral("srt://") + server.text() + QStringLiteral("?mode=caller&streamid=")
                       + streamId.trimmed() + QStringLiteral("#feedbackplay");
    return plan;
}

QString BroadcastPlan::feedbackUrlWithLatency(int latencyMs) const
{
    // The stream ID comes last and may hold anything: the parameter goes
    // before it, right behind the mode.
    static const QString mode = QStringLiteral("?mode=caller&");
    QString url = feedbackUrl;
    const int at = url.indexOf(mode);
    if (at < 0)
        return url;
    return url.insert(at + mode.size(), QStringLiteral("latency=%1&").arg(latencyMs));
}

QString BroadcastPlan::problem() const
{
    if (host.trimmed().isEmpty())
        return QStringLiteral("No server host given.");
    if (port < 1 || port > 65535)
        return QStringLiteral("The server port must be a number from 1 to 65535.");
    const int longest = kMaxStreamIdBytes - kLongestSuffixBytes;
    if (streamId.toLocal8Bit().size() > longest)
        return QStringLiteral("The stream ID is too long (at most %1 characters).").arg(longest);
    return passphraseProblem(passphrase);
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
