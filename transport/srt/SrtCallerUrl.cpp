#include "transport/srt/SrtCallerUrl.h"

#include <QStringList>
#include <QUrl>

namespace {
const QString kScheme = QStringLiteral("srt://");
const QString kStreamKey = QStringLiteral("streamid=");
// Characters a stream ID keeps unescaped besides letters, digits and "-._~".
const QByteArray kKeptAsTheyAre = QByteArrayLiteral("!$'()*,;:@/#");

bool readAuthority(const QString &authority, SrtEndpoint *endpoint)
{
    const int colon = authority.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0)
        return false;
    endpoint->host = authority.left(colon);
    bool ok = false;
    endpoint->port = authority.mid(colon + 1).toInt(&ok);
    return ok && endpoint->port > 0 && endpoint->port <= 65535;
}

// The parameters before the stream ID; false for a mode other than caller.
bool readParameters(const QString &parameters, SrtEndpoint *endpoint)
{
    for (const QString &pair : parameters.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const QString key = pair.section(QLatin1Char('='), 0, 0);
        const QString value = pair.section(QLatin1Char('='), 1);
        if (key == QLatin1String("mode") && value != QLatin1String("caller"))
            return false;
        if (key == QLatin1String("latency"))
            endpoint->latencyMs = value.toInt();
    }
    return true;
}
}

QString SrtCallerUrl::build(const SrtEndpoint &endpoint)
{
    QString url = kScheme + endpoint.serverText() + QStringLiteral("?mode=caller");
    if (endpoint.latencyMs >= 0)
        url += QStringLiteral("&latency=%1").arg(endpoint.latencyMs);
    const QByteArray streamId = QUrl::toPercentEncoding(endpoint.streamId, kKeptAsTheyAre);
    return url + QLatin1Char('&') + kStreamKey + QString::fromLatin1(streamId);
}

std::optional<SrtEndpoint> SrtCallerUrl::parse(const QString &url)
{
    if (!url.startsWith(kScheme, Qt::CaseInsensitive))
        return std::nullopt;
    const QString rest = url.mid(kScheme.size());
    const int query = rest.indexOf(QLatin1Char('?'));
    SrtEndpoint endpoint;
    if (!readAuthority(query < 0 ? rest : rest.left(query), &endpoint))
        return std::nullopt;

    QString parameters = query < 0 ? QString() : rest.mid(query + 1);
    const int streamAt =
        parameters.startsWith(kStreamKey) ? 0 : parameters.indexOf(QLatin1Char('&') + kStreamKey);
    if (streamAt >= 0) {
        const int valueAt = streamAt + (streamAt == 0 ? 0 : 1) + kStreamKey.size();
        endpoint.streamId = QUrl::fromPercentEncoding(parameters.mid(valueAt).toUtf8());
        parameters.truncate(streamAt);
    }
    if (!readParameters(parameters, &endpoint))
        return std::nullopt;
    return endpoint;
}
