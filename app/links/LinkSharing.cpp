#include "app/links/LinkSharing.h"

#include <QApplication>
#include <QClipboard>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QUrl>

QString LinkSharing::buildLink(const LinkFields &fields)
{
    QString link = fields.server + "/" + fields.streamId + "/" + QString::number(fields.videoBitRate) + "/"
                   + fields.audioBitRate + "/" + fields.frameName;
    if (fields.twoFrames)
        link += "/DBL";
    if (!fields.passphrase.isEmpty())
        link += (fields.twoFrames ? "/" : "//") + passphraseField(fields.passphrase);
    return link;
}

QString LinkSharing::passphraseField(const QString &passphrase)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(passphrase));
}

QString LinkSharing::passphraseFromField(const QString &field)
{
    return QUrl::fromPercentEncoding(field.toUtf8());
}

QString LinkSharing::shareableLink(const QString &link)
{
    const QString scheme = QStringLiteral("orvanta://");
    QString shared = link;
    shared.replace("srt://", scheme, Qt::CaseSensitive);
    if (!shared.startsWith(scheme))
        shared.prepend(scheme);
    return shared;
}

const char *const LinkSharing::kCopiedWithPassphraseText = "Link copied (it carries the passphrase)";

void LinkSharing::copyToClipboard(const QString &link, bool carriesPassphrase)
{
    QApplication::clipboard()->setText(shareableLink(link), QClipboard::Clipboard);

    QSystemTrayIcon tray(QApplication::style()->standardIcon(QStyle::SP_MessageBoxInformation));
    tray.setToolTip("Orvanta");
    tray.setVisible(true);
    tray.showMessage("Info", carriesPassphrase ? kCopiedWithPassphraseText : "Link copied",
                     QSystemTrayIcon::Information, 10000);
}
