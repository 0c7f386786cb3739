#pragma once
#include <QString>
#include <QStringList>

// A link as the program takes it from its argument and from the number
// lookup: any scheme, "://", then "/"-separated fields (server "host:port",
// stream ID, video bit rate, audio bit rate, frame size name, "DBL", the
// percent-encoded passphrase).
// Only the first "://" counts. Pure text work, so it can be fuzzed alone.
class StreamLink
{
public:
    enum Field { Server, StreamId, VideoBitRate, AudioBitRate, FrameName, TwoFrames, Passphrase };

    explicit StreamLink(const QString &text);

    // The text holds "://" at all; fields of a text without it are empty.
    bool isLink() const { return m_isLink; }
    // The field at that position, empty when the link has fewer fields.
    QString field(int index) const;
    // The sixth field is "DBL" in any letter case.
    bool twoFrames() const;

    // Good enough to start a broadcast with: a scheme of letters, digits,
    // '+', '-' or '.' that starts with a letter; a server field with a host
    // and a port 1-65535 and nothing after the port; a stream ID.
    bool isUsable() const;

private:
    bool hasUsableScheme() const;
    bool hasUsableServer() const;

    QString m_scheme;
    QStringList m_fields;
    bool m_isLink = false;
};
