#include "app/services/UpdateManifest.h"

#include <QJsonDocument>
#include <QJsonObject>

UpdateManifest UpdateManifest::parse(const QByteArray &body)
{
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    UpdateManifest manifest;
    manifest.build = object.value(QLatin1String("build")).toInt(0);
    manifest.msg = object.value(QLatin1String("msg")).toString();
    manifest.url = object.value(QLatin1String("url")).toString();
    return manifest;
}

bool UpdateManifest::hasDownloadLink(const QUrl &manifestUrl) const
{
    const QUrl link(url, QUrl::StrictMode);
    if (!link.isValid() || link.isRelative() || link.host().isEmpty())
        return false;
    const QString scheme = link.scheme();
    if (scheme == QLatin1String("https"))
        return true;
    return scheme == QLatin1String("http") && manifestUrl.scheme() == QLatin1String("http");
}

QString UpdateManifest::offerText(const QUrl &manifestUrl) const
{
    QString text = escapeForHtml(msg);
    text.replace(QLatin1Char('\n'), QLatin1String("<br>"));
    if (hasDownloadLink(manifestUrl))
        text += QStringLiteral("    <a href='%1' style='color:white;'>Download</a>").arg(escapeForHtml(url));
    return text;
}

QString UpdateManifest::escapeForHtml(const QString &text)
{
    // toHtmlEscaped leaves the single quote that delimits the href.
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QLatin1String("&#39;"));
}
