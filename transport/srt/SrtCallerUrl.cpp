#include "transport/srt/SrtCallerUrl.h"

#include <QStringList>

bool SrtCallerUrl::parse(const QString &url, SrtCallerUrl *result)
{
    static const QString scheme = QStringLiteral("srt://");
    if (!url.startsWith(scheme, Qt::CaseInsensitive))
        return false;
    const QString rest = url.mid(scheme.size());
    const int query = rest.indexOf(QLatin1Char('?'));
    const QString authority = query < 0 ? rest : rest.left(query);
    const int colon = authority.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    SrtCallerUrl parsed;
    parsed.host = authority.left(colon);
    bool ok = false;
    parsed.port = authority.mid(colon + 1).toInt(&ok);
    if (!ok || parsed.port <= 0 || parsed.port > 65535)
        return false;

    QString parameters = query < 0 ? QString() : rest.mid(query + 1);
    static const QString streamKey = QStringLiteral("streamid=");
    int streamAt = parameters.startsWith(streamKey) ? 0 : parameters.indexOf(QLatin1Char('&') + streamKey);
    if (streamAt >= 0) {
        const int valueAt = streamAt + (streamAt == 0 ? 0 : 1) + streamKey.size();
        parsed.streamId = parameters.mid(valueAt);
        parameters.truncate(streamAt);
    }
    for (const QString &pair : parameters.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const QString key = pair.section(QLatin1Char('='), 0, 0);
        const QString value = pair.section(QLatin1Char('='), 1);
        if (key == QLatin1String("mode") && value != QLatin1String("caller"))
            return false;
        if (key == QLatin1String("latency"))
            parsed.latencyMs = value.toInt();
    }
    *result = parsed;
    return true;
}

QString SrtCallerUrl::toString() const
{
    QString url = QStringLiteral("srt://%1:%2?mode=caller").arg(host, QString::number(port));
    if (latencyMs >= 0)
        url += QStringLiteral("&latency=%1").arg(latencyMs);
    return url + QStringLiteral("&streamid=") + streamId;
}
