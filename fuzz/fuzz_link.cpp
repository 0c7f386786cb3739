// Links from the program's argument and from the number lookup.
#include "FuzzSupport.h"

#include "app/links/ServerField.h"
#include "app/links/StreamLink.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(fuzz::bytes(data, size));
    const StreamLink link(text);
    for (int index = StreamLink::Server; index <= StreamLink::TwoFrames + 2; ++index)
        fuzz::require(!link.field(index).contains(QLatin1Char('/')), "a field never holds '/'");
    link.twoFrames();
    fuzz::require(link.isLink() == text.contains(QLatin1String("://")), "a link is a text with \"://\"");
    if (link.isUsable()) {
        // What the broadcast reads from the form must agree with the check.
        const ServerField server(link.field(StreamLink::Server));
        fuzz::require(server.hasPort(), "a usable link has a port");
        fuzz::require(!server.host().isEmpty(), "a usable link has a host");
        fuzz::require(server.port() >= 1 && server.port() <= 65535, "a usable port is 1-65535");
        fuzz::require(!link.field(StreamLink::StreamId).trimmed().isEmpty(), "a usable link has a stream ID");
    }
    return 0;
}
