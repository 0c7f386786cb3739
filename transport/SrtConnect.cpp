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

QString srtConnect(int *socket, QString host, quint16 port, QString streamId, int peerLatency,
                   const std::atomic<bool> *cancel, QString *reason, const QByteArray &passphrase, bool *refused)
{
    *socket = SrtSocket::kInvalid;
    SrtCaller caller;
    caller.streamId = streamId.toLocal8Bit();
    caller.peerLatencyMs = peerLatency;
    caller.mss = kMss;
    caller.cancel = cancel;
    caller.passphrase = passphrase;
    SrtSocket connected;
    int rejectReason = 0;
    const QString failure = caller.connect(host, port, &connected, reason, &rejectReason);
    if (refused)
        *refused = !failure.isEmpty() && SrtCaller::isRefusal(rejectReason);
    *socket = connected.release();
    return failure;
}

QString failureWithReason(const QString &failure, const QString &reason)
{
    if (failure.isEmpty() || reason.isEmpty())
        return failure;
    return failure + QStringLiteral(" (") + reason + QLatin1Char(')');
}
