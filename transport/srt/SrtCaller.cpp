#include "transport/srt/SrtCaller.h"

#include "transport/srt/SrtLibrary.h"

#include <QDebug>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/srt.h>

namespace {
void setIntOption(SRTSOCKET socket, SRT_SOCKOPT option, const char *name, const std::optional<int> &value)
{
    if (!value)
        return;
    const int number = *value;
    if (srt_setsockopt(socket, 0, option, &number, sizeof number) == SRT_ERROR)
        qDebug() << "-- failed to set option " << name << " on socket:" << srt_getlasterror_str();
}

QString failure(const char *text, QString *reason)
{
    if (reason)
        *reason = QString::fromLocal8Bit(srt_getlasterror_str());
    return QString::fromLatin1(text);
}

// What the peer or libsrt's handshake said when the connection was refused
// (a wrong or missing passphrase, an overloaded server), else the last error.
QString connectFailure(SRTSOCKET socket, QString *reason, int *rejectReason)
{
    const int rejected = srt_getrejectreason(socket);
    if (rejectReason)
        *rejectReason = rejected;
    const QString text = failure("SRT CONNECT FAILED", reason);
    if (reason && rejected != SRT_REJ_UNKNOWN)
        *reason = QString::fromLocal8Bit(srt_rejectreason_str(rejected));
    return text;
}

bool setPassphrase(SRTSOCKET socket, const QByteArray &passphrase)
{
    if (passphrase.isEmpty())
        return true;
    const int keyLength = SrtCaller::kKeyLength;
    return srt_setsockopt(socket, 0, SRTO_PASSPHRASE, passphrase.constData(), passphrase.size()) != SRT_ERROR
           && srt_setsockopt(socket, 0, SRTO_PBKEYLEN, &keyLength, sizeof keyLength) != SRT_ERROR;
}
}

bool SrtCaller::isRefusal(int rejectReason)
{
    return rejectReason != SRT_REJ_UNKNOWN && rejectReason != SRT_REJ_TIMEOUT;
}

QString SrtCaller::connect(const QString &address, quint16 port, SrtSocket *socket, QString *reason,
                           int *rejectReason) const
{
    if (rejectReason)
        *rejectReason = SRT_REJ_UNKNOWN;
    startSrtLibrary();
    socket->reset();
    // Until the connection is made the socket is ours; every failure path closes it.
    SrtSocket candidate(srt_create_socket());
    if (!candidate.isValid())
        return failure("srt_create_socket FAILED", reason);

    sockaddr_in ipv4{};
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(port);
    if (inet_pton(AF_INET, address.toLocal8Bit().constData(), &ipv4.sin_addr) != 1) {
        if (reason)
            *reason = QStringLiteral("not a dotted IPv4 address: ") + address;
        return QStringLiteral("init_pton FAILED");
    }

    if (srt_setsockopt(candidate.get(), 0, SRTO_STREAMID, streamId.constData(), streamId.size()) == SRT_ERROR)
        return failure("set streamid FAILED", reason);
    // Live mode first: it resets the latencies and other options to their live defaults.
    setIntOption(candidate.get(), SRTO_TRANSTYPE, "SRTO_TRANSTYPE", int(SRTT_LIVE));
    setIntOption(candidate.get(), SRTO_PEERLATENCY, "SRTO_PEERLATENCY", peerLatencyMs);
    setIntOption(candidate.get(), SRTO_LATENCY, "SRTO_LATENCY", latencyMs);
    setIntOption(candidate.get(), SRTO_MSS, "SRTO_MSS", mss);
    setIntOption(candidate.get(), SRTO_CONNTIMEO, "SRTO_CONNTIMEO", connectTimeoutMs);
    setIntOption(candidate.get(), SRTO_RCVTIMEO, "SRTO_RCVTIMEO", receiveTimeoutMs);
    if (!setPassphrase(candidate.get(), passphrase))
        return failure("set passphrase FAILED", reason);

    if (srt_connect(candidate.get(), reinterpret_cast<const sockaddr *>(&ipv4), sizeof ipv4) == SRT_ERROR)
        return connectFailure(candidate.get(), reason, rejectReason);

    *socket = std::move(candidate);
    return QString();
}
