#include "transport/SrtConnect.h"

#include "transport/srt/SrtCaller.h"

namespace {
// A 1316-byte message (seven transport packets) plus the 44 bytes of IPv4,
// UDP and SRT headers: every message travels in one datagram. A message split
// over two packets is lost whole when libsrt drops one half too late, and the
// receiver then stalls for good. 1360 stays below the usual 1500-byte MTU,
// which leaves room for tunnel and VPN headers.
constexpr int kMss = 1360;
}

SrtConnection srtConnect(const SrtEndpoint &endpoint, const std::atomic<bool> *cancel)
{
    SrtCaller caller;
    caller.streamId = endpoint.streamId.toLocal8Bit();
    if (endpoint.latencyMs != SrtEndpoint::kLibraryLatency)
        caller.peerLatencyMs = endpoint.latencyMs;
    caller.mss = kMss;
    caller.cancel = cancel;
    caller.passphrase = endpoint.passphrase;
    SrtConnection connection;
    int rejectReason = 0;
    connection.result = caller.connect(endpoint.host, quint16(endpoint.port), &connection.socket, &rejectReason);
    connection.refused = !connection.result.ok() && SrtCaller::isRefusal(rejectReason);
    return connection;
}
