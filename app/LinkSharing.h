#pragma once
#include "app/LinkFields.h"

#include <QString>

// Builds links from the form and puts the "orvanta://" variant on the clipboard.
class LinkSharing
{
public:
    // server/stream/vbr/abr/frame[/DBL]
    static QString buildLink(const LinkFields &fields);
    // Every "srt://" becomes "orvanta://", and the text starts with that scheme.
    static QString shareableLink(const QString &link);
    // Clipboard plus a short tray notice "Link copied".
    static void copyToClipboard(const QString &link);
};
