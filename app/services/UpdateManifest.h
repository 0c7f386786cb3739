#pragma once
#include <QByteArray>
#include <QString>
#include <QUrl>

// The update server's manifest ("build", "msg", "url") and the offer made of
// it. The manifest comes over plain HTTP from whoever is on the path, so its
// texts are shown as plain text and only a web download link is offered.
struct UpdateManifest
{
    int build = 0;
    QString msg;
    QString url;

    static UpdateManifest parse(const QByteArray &body);

    // An absolute https:// link with a host; http:// too when the manifest
    // itself came over http (it could not be trusted more than its link).
    bool hasDownloadLink(const QUrl &manifestUrl) const;
    // The box text: msg as plain text, then the link when there is one.
    QString offerText(const QUrl &manifestUrl) const;

    static QString escapeForHtml(const QString &text);
};
