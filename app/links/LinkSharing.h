#pragma once
#include "app/links/LinkFields.h"

#include <QString>

// Builds links from the form and puts the "orvanta://" variant on the clipboard.
class LinkSharing
{
public:
    // server/stream/vbr/abr/frame[/DBL], and with a passphrase
    // server/stream/vbr/abr/frame/[DBL]/passphrase (percent-encoded).
    static QString buildLink(const LinkFields &fields);
    // The seventh field: every byte but A-Z a-z 0-9 - . _ ~ as %XX, so that
    // no "/" splits it and no "srt://" in it is rewritten.
    static QString passphraseField(const QString &passphrase);
    static QString passphraseFromField(const QString &field);
    // Every "srt://" becomes "orvanta://", and the text starts with that scheme.
    static QString shareableLink(const QString &link);
    // Clipboard plus a short tray notice "Link copied" (which says so when
    // the link carries the passphrase).
    static void copyToClipboard(const QString &link, bool carriesPassphrase = false);
    static const char *const kCopiedWithPassphraseText;
};
