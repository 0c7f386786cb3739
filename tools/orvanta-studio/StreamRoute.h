#pragma once
#include <QByteArray>
#include <QString>

// Which stream a caller's stream ID names: the user's ID plus an optional
// suffix ("#feedbackplay", "#control", "#speedtest"); a plain ID is media.
// IDs are kept as the bytes the caller sent, so that two IDs that differ in
// any byte stay apart even when they are not valid UTF-8.
class StreamRoute
{
public:
    enum Kind { Media, Feedback, Control, SpeedTest };

    static StreamRoute parse(const QByteArray &streamId);
    static QString kindName(Kind kind);
    // The text of an ID for the console and "/status": UTF-8, with control
    // characters shown as '?'.
    static QString printable(const QByteArray &bytes);

    bool isValid() const { return !id.isEmpty(); }
    bool isSameMedia(const StreamRoute &other) const { return kind == Media && other.kind == Media && id == other.id; }
    QString displayId() const { return printable(id); }
    // The recording's file name for the ID: no two IDs share a name, the name
    // stays inside the record folder and plain IDs keep their own name
    // ("demo" -> "demo.ts"). Every byte outside [A-Za-z0-9-_.] and a leading
    // '.' become %XX; a name that would grow too long keeps its beginning and
    // ends in '~' and a hash of the whole ID ('~' never occurs otherwise).
    QString recordFileName() const;

    QByteArray id;
    Kind kind = Media;
};
