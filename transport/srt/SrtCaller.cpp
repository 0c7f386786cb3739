#include "transport/srt/SrtCaller.h"

#include "transport/srt/SrtLibrary.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/access_control.h>
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

StepResult failure(const char *text)
{
    return StepResult::failure(QString::fromLatin1(text), QString::fromLocal8Bit(srt_getlasterror_str()));
}

// A cancellable connect looks at its flag this often.
constexpr int kCancelSliceMs = 50;
// Longer than libsrt's connect time-out, which ends every connect first.
constexpr int kCancellableLimitMs = 60000;

void setBoolOption(SRTSOCKET socket, SRT_SOCKOPT option, bool value)
{
    const int flag = value ? 1 : 0;
    srt_setsockopt(socket, 0, option, &flag, sizeof flag);
}

// The reason of a failed connect: the listener's refusal when it refused,
// else libsrt's error text.
StepResult connectFailure(SRTSOCKET socket, const char *text, int *rejectCode)
{
    const int rejectReason = srt_getrejectreason(socket);
    if (rejectCode)
        *rejectCode = rejectReason;
    const QString message = QString::fromLatin1(text);
    const QString refusal = SrtCaller::rejectText(rejectReason);
    if (!refusal.isEmpty())
        return StepResult::failure(message, refusal);
    if (rejectReason == SRT_REJ_TIMEOUT)
        return StepResult::failure(message, QStringLiteral("connection timed out (no answer from the server)"));
    if (srt_getlasterror(nullptr) == SRT_SUCCESS)
        return StepResult::failure(message, QStringLiteral("the connection broke during the handshake"));
    return failure(text);
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

QString SrtCaller::rejectText(int rejectReason)
{
    switch (rejectReason) {
    case SRT_REJ_UNKNOWN:
    case SRT_REJ_TIMEOUT:
    case SRT_REJ_SYSTEM:
    case SRT_REJ_CLOSE:
        return QString();
    case SRT_REJX_BAD_REQUEST: return QStringLiteral("rejected by the server: bad request (stream ID)");
    case SRT_REJX_UNAUTHORIZED: return QStringLiteral("rejected by the server: unauthorized");
    case SRT_REJX_OVERLOAD: return QStringLiteral("rejected by the server: too many callers");
    case SRT_REJX_FORBIDDEN: return QStringLiteral("rejected by the server: forbidden");
    case SRT_REJX_NOTFOUND: return QStringLiteral("rejected by the server: stream not found");
    case SRT_REJX_CONFLICT: return QStringLiteral("rejected by the server: this ID is already streaming");
    default:
        break;
    }
    if (rejectReason >= SRT_REJC_PREDEFINED)
        return QStringLiteral("rejected by the server (code %1)").arg(rejectReason);
    // libsrt's own refusals, such as a wrong or missing passphrase, in its words.
    return QString::fromLocal8Bit(srt_rejectreason_str(rejectReason));
}

// Non-blocking connect, watched in slices; the socket is made blocking again
// once connected, as its users expect. The outcome is read from the epoll
// event only: while libsrt completes a handshake, srt_getsockstate() can show
// the socket broken for a moment (connecting already cleared, connected not
// yet set), which on a busy machine ended good connects as failures.
bool SrtCaller::connectCancellable(int socket, const void *address, int addressSize) const
{
    setBoolOption(socket, SRTO_RCVSYN, false);
    const int epoll = srt_epoll_create();
    // Watched before the connect starts, so that neither outcome can come unseen.
    int events = SRT_EPOLL_OUT | SRT_EPOLL_ERR;
    srt_epoll_add_usock(epoll, socket, &events);
    bool connected = false;
    if (srt_connect(socket, static_cast<const sockaddr *>(address), addressSize) != SRT_ERROR
        || srt_getsockstate(socket) == SRTS_CONNECTING)
        connected = awaitConnect(epoll, socket);
    srt_epoll_release(epoll);
    if (connected)
        setBoolOption(socket, SRTO_RCVSYN, true);
    return connected;
}

// libsrt signals a finished connect with SRT_EPOLL_OUT and a failed one with
// SRT_EPOLL_ERR; its own connect time-out ends every wait with one of them.
bool SrtCaller::awaitConnect(int epoll, int socket) const
{
    QElapsedTimer waited;
    waited.start();
    while (!cancel->load() && waited.elapsed() <= kCancellableLimitMs) {
        SRTSOCKET readable[1];
        int readableCount = 1;
        SRTSOCKET writable[1];
        int writableCount = 1;
        if (srt_epoll_wait(epoll, readable, &readableCount, writable, &writableCount, kCancelSliceMs, nullptr,
                           nullptr, nullptr, nullptr) <= 0) {
            if (srt_getlasterror(nullptr) == SRT_ETIMEOUT)
                continue;
            // The epoll itself failed (the socket left it): wait a slice and judge by the state.
            QThread::msleep(kCancelSliceMs);
        }
        const SRT_SOCKSTATUS state = srt_getsockstate(socket);
        if (state == SRTS_CONNECTED)
            return true;
        if (state != SRTS_CONNECTING && state != SRTS_OPENED) {
            // What the slices' time-outs left there is not this failure's cause.
            srt_clearlasterror();
            return false;
        }
    }
    return false;
}

StepResult SrtCaller::connect(const QString &address, quint16 port, SrtSocket *socket, int *rejectReason) const
{
    if (rejectReason)
        *rejectReason = SRT_REJ_UNKNOWN;
    startSrtLibrary();
    socket->reset();
    // Until the connection is made the socket is ours; every failure path closes it.
    SrtSocket candidate(srt_create_socket());
    if (!candidate.isValid())
        return failure("srt_create_socket FAILED");

    sockaddr_in ipv4{};
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(port);
    if (inet_pton(AF_INET, address.toLocal8Bit().constData(), &ipv4.sin_addr) != 1)
        return StepResult::failure(QStringLiteral("init_pton FAILED"), QStringLiteral("not a dotted IPv4 address: ") + address);

    if (srt_setsockopt(candidate.get(), 0, SRTO_STREAMID, streamId.constData(), streamId.size()) == SRT_ERROR)
        return failure("set streamid FAILED");
    // Live mode first: it resets the latencies and other options to their live defaults.
    setIntOption(candidate.get(), SRTO_TRANSTYPE, "SRTO_TRANSTYPE", int(SRTT_LIVE));
    setIntOption(candidate.get(), SRTO_PEERLATENCY, "SRTO_PEERLATENCY", peerLatencyMs);
    setIntOption(candidate.get(), SRTO_LATENCY, "SRTO_LATENCY", latencyMs);
    setIntOption(candidate.get(), SRTO_MSS, "SRTO_MSS", mss);
    setIntOption(candidate.get(), SRTO_CONNTIMEO, "SRTO_CONNTIMEO", connectTimeoutMs);
    setIntOption(candidate.get(), SRTO_RCVTIMEO, "SRTO_RCVTIMEO", receiveTimeoutMs);
    if (!setPassphrase(candidate.get(), passphrase))
        return failure("set passphrase FAILED");

    if (cancel) {
        if (!connectCancellable(candidate.get(), &ipv4, sizeof ipv4)) {
            if (cancel->load())
                return failure("SRT CONNECT CANCELLED");
            return connectFailure(candidate.get(), "SRT CONNECT FAILED", rejectReason);
        }
    } else if (srt_connect(candidate.get(), reinterpret_cast<const sockaddr *>(&ipv4), sizeof ipv4) == SRT_ERROR) {
        return connectFailure(candidate.get(), "SRT CONNECT FAILED", rejectReason);
    }

    *socket = std::move(candidate);
    return StepResult();
}
