#pragma once
#include <QString>

// Which stream a caller's stream ID names: the user's ID plus an optional
// suffix ("#feedbackplay", "#control", "#speedtest"); a plain ID is media.
class StreamRoute
{
public:
    enum Kind { Media, Feedback, Control, SpeedTest };

    static StreamRoute parse(const QString &streamId);
    static QString kindName(Kind kind);

    bool isValid() const { return !id.isEmpty(); }
    // A file name for the ID that stays inside the record folder: only
    // letters, digits, '-', '_' and '.', never starting with '.'.
    QString recordFileName() const;

    QString id;
    Kind kind = Media;
};
