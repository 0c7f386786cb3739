#pragma once
#include <QString>

// "srt://host:port?mode=caller&streamid=ID": the stream ID is taken as it
// stands up to the end of the URL, so it may hold any character, '#', '&' and
// '?' included (the program appends "#feedbackplay" and similar suffixes).
// Parameters before it are separated by '&'.
struct SrtCallerUrl
{
    QString host;
    int port = 0;
    QString streamId;
    int latencyMs = -1;  // "latency=" in milliseconds; -1 = libsrt default

    static bool parse(const QString &url, SrtCallerUrl *result);
    // The URL that parse() reads back as this one; the stream ID comes last.
    QString toString() const;
};
