#include "transport/SrtConnect.h"

#include "transport/SrtSocket.h"

#include <QDebug>
#include <QHostAddress>
#include <QHostInfo>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/srt.h>

#include <mutex>

namespace {
// A 1316-byte message (seven transport packets) plus the 44 bytes of IPv4,
// UDP and SRT headers: every message travels in one datagram. A message split
// over two packets is lost whole when libsrt drops one half too late, and the
// receiver then stalls for good. 1360 stays below the usual 1500-byte MTU,
// which leaves room for tunnel and VPN headers.
constexpr int kMss = 1360;

void setIntOption(SRTSOCKET socket, SRT_SOCKOPT option, const char *name, int value)
{
    if (srt_setsockopt(socket, 0, option, &value, sizeof value) == SRT_ERROR)
        qDebug() << "-- failed to set option " << name << " on socket:" << srt_getlasterror_str();
}
}

QString srtConnect(int *socket, QString host, quint16 port, QString streamId, int peerLatency)
{
    startSrtLibrary();
    *socket = SRT_INVALID_SOCK;
    // Until the connection is made the socket is ours; every failure path closes it.
    SrtSocket candidate(srt_create_socket());
    if (!candidate.isValid())
        return QStringLiteral("srt_create_socket FAILED");

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.toLocal8Bit().constData(), &address.sin_addr) != 1)
        return QStringLiteral("init_pton FAILED");

    const QByteArray id = streamId.toLocal8Bit();
    if (srt_setsockopt(candidate.get(), 0, SRTO_STREAMID, id.constData(), id.size()) == SRT_ERROR)
        return QStringLiteral("set streamid FAILED");

    setIntOption(candidate.get(), SRTO_TRANSTYPE, "SRTO_TRANSTYPE", SRTT_LIVE);
    setIntOption(candidate.get(), SRTO_PEERLATENCY, "SRTO_PEERLATENCY", peerLatency);
    setIntOption(candidate.get(), SRTO_MSS, "SRTO_MSS", kMss);

    if (srt_connect(candidate.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == SRT_ERROR)
        return QStringLiteral("SRT CONNECT FAILED");

    *socket = candidate.release();
    return QString();
}

QString resolveHost(QString host)
{
    const QHostAddress literal(host);
    if (!literal.isNull())
        return literal.toString();
    const QList<QHostAddress> addresses = QHostInfo::fromName(host).addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address.toString();
    }
    return QHostAddress().toString();
}
