#pragma once
#include "transport/srt/SrtEndpoint.h"

#include <QString>

#include <optional>

// The SRT caller URL by which the feedback player is told what to open:
// "srt://host:port?mode=caller&latency=N&streamid=ID" ("&latency=N" only
// when a latency is asked for; the passphrase never goes into it). The
// stream ID comes last and is percent-escaped where a URL reader would take
// it for structure ('%', '&', '=', '?', '+', blanks and the like, anything
// outside ASCII): letters, digits and "-._~!$'()*,;:@/#" stay as they are,
// so "user42#feedbackplay" reads as itself. Reading takes the stream ID up
// to the end of the URL and unescapes it, so an unescaped one holding '&',
// '?' or '#' reads as well. Other parameters before it are separated by '&'.
class SrtCallerUrl
{
public:
    static QString build(const SrtEndpoint &endpoint);
    // Host, port, stream ID and latency (kLibraryLatency without one);
    // nothing when the text is not an SRT caller URL.
    static std::optional<SrtEndpoint> parse(const QString &url);
};
