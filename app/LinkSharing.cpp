#include "app/LinkSharing.h"

#include <QApplication>
#include <QClipboard>
#include <QStyle>
#include <QSystemTrayIcon>

QString LinkSharing::buildLink(const LinkFields &fields)
{
    QString link = fields.server + "/" + fields.streamId + "/" + QString::number(fields.videoBitRate) + "/"
                   + fields.audioBitRate + "/" + fields.frameName;
    if (fields.twoFrames)
        link += "/DBL";
    return link;
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

void LinkSharing::copyToClipboard(const QString &link)
{
    QApplication::clipboard()->setText(shareableLink(link), QClipboard::Clipboard);

    QSystemTrayIcon tray(QApplication::style()->standardIcon(QStyle::SP_MessageBoxInformation));
    tray.setToolTip("Orvanta");
    tray.setVisible(true);
    tray.showMessage("Info", "Link copied", QSystemTrayIcon::Information, 10000);
}
