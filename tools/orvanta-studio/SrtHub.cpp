#include "SrtHub.h"

#include "StudioStatus.h"
#include "transport/srt/SrtLibrary.h"

#include <QDir>
#include <QFileInfo>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/access_control.h>
#include <srt/srt.h>

#include <syslog.h>

#include <cstdio>
#include <vector>

namespace {
constexpr int kMaxStreamId = 512;  // libsrt's limit for a stream ID
constexpr int kMaxMessage = 1500;
constexpr int kArrowMessageSize = 1316;
constexpr int kArrowCounterOffset = 1312;
constexpr int kRecordBuffer = 1 << 16;
// IPv4 + UDP + SRT data header, which libsrt counts in its byte figures.
constexpr int kPacketHeaderBytes = 20 + 8 + 16;
constexpr int kMss = 1316 + kPacketHeaderBytes;
constexpr int kBufferPackets = 16384;
constexpr int kKeyLength = 16;  // AES-128
constexpr int kIdleWaitMs = 20;
// Per round, so that one busy caller or a fast feedback file cannot keep the
// loop from the others and from a stop request.
constexpr int kMaxMessagesPerRead = 256;
constexpr int kMaxChunksPerRound = 64;
constexpr qint64 kFeedbackReportMs = 200;
constexpr qint64 kSweepMs = 1000;

void printLine(const QString &line)
{
    std::fprintf(stdout, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stdout);
}

int intOption(int socket, SRT_SOCKOPT option)
{
    int value = 0;
    int size = sizeof value;
    srt_getsockflag(socket, option, &value, &size);
    return value;
}

void setIntOption(int socket, SRT_SOCKOPT option, int value)
{
    srt_setsockflag(socket, option, &value, sizeof value);
}

QString peerText(const sockaddr *peer)
{
    if (!peer || peer->sa_family != AF_INET)
        return QString();
    const auto *in = reinterpret_cast<const sockaddr_in *>(peer);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    return QString::fromLatin1(text) + ':' + QString::number(ntohs(in->sin_port));
}

// libsrt copies the ID with its terminating NUL and refuses a buffer without
// room for it, so an ID of the full 512 bytes needs 513. The ID ends at the
// first NUL, as it does for the handshake callback.
QByteArray streamIdOf(int socket, bool *ok)
{
    char bytes[kMaxStreamId + 1] = {};
    int size = sizeof bytes;
    *ok = srt_getsockflag(socket, SRTO_STREAMID, bytes, &size) != SRT_ERROR && size >= 0 && size <= kMaxStreamId;
    return *ok ? QByteArray(bytes, int(qstrnlen(bytes, uint(size)))) : QByteArray();
}
}

SrtHub::SrtHub(const Settings &settings, StudioStatus *status)
    : m_settings(settings), m_status(status), m_gate(settings.maxCallers)
{
    m_clock.start();
}

SrtHub::~SrtHub()
{
    requestStop();
    wait(5000);
    closeAll();
    m_listener.reset();
    if (m_epoll != -1)
        srt_epoll_release(m_epoll);
}

bool SrtHub::open(QString *error)
{
    startSrtLibrary();
    // "No pending connection" and the like are normal here, not worth a line each.
    srt_setloglevel(LOG_CRIT);
    if (!m_settings.feedbackFile.isEmpty()) {
        if (!m_looper.open(m_settings.feedbackFile)) {
            *error = QStringLiteral("cannot read feedback file ") + m_settings.feedbackFile;
            return false;
        }
        printLine(QStringLiteral("feedback file %1: %2").arg(m_settings.feedbackFile, m_looper.describe()));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_settings.port);
    if (inet_pton(AF_INET, m_settings.host.toLatin1().constData(), &address.sin_addr) != 1) {
        *error = QStringLiteral("not an IPv4 address: ") + m_settings.host;
        return false;
    }
    m_listener.reset(srt_create_socket());
    // The caller gate decides who gets in; libsrt's backlog, checked before
    // the gate, must never be what turns a caller away (with a vaguer reason).
    const int backlog = 2 * m_settings.maxCallers;
    if (!configureListener()
        || srt_bind(m_listener.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == SRT_ERROR
        || srt_listen(m_listener.get(), backlog) == SRT_ERROR) {
        *error = QString::fromLocal8Bit(srt_getlasterror_str());
        return false;
    }
    m_epoll = srt_epoll_create();
    srt_epoll_set(m_epoll, SRT_EPOLL_ENABLE_EMPTY);
    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(m_epoll, m_listener.get(), &events);
    return true;
}

quint16 SrtHub::port() const
{
    sockaddr_in address{};
    int size = sizeof address;
    if (srt_getsockname(m_listener.get(), reinterpret_cast<sockaddr *>(&address), &size) == SRT_ERROR)
        return 0;
    return ntohs(address.sin_port);
}

// Accepted sockets inherit these settings.
bool SrtHub::configureListener()
{
    // Latency 0 on our side: each connection then runs at the latency its caller asked for.
    setIntOption(m_listener.get(), SRTO_RCVLATENCY, 0);
    setIntOption(m_listener.get(), SRTO_RCVSYN, 0);
    setIntOption(m_listener.get(), SRTO_SNDSYN, 0);
    // 1316 bytes of payload plus 44 of headers: every 1316-byte message sent
    // to a feedback caller travels in one packet, so a late or lost packet
    // costs one message and never leaves half a message that libsrt's receiver
    // may wait for. A connection takes the smaller MSS of its two ends, and
    // 1360 stays below the usual 1500, leaving room for tunnels.
    setIntOption(m_listener.get(), SRTO_MSS, kMss);
    // Per caller, a receive buffer and flow window of 16,384 packets (about
    // 21.8 MB of payload). A live connection holds each packet for its
    // latency, so the buffer must take rate x latency: the client's most
    // (100 Mbit/s at 1000 ms, about 9,500 packets), a whole 10 MiB speed test
    // at any rate (7,968 messages), and several hundred Mbit/s at 120 ms
    // (800 Mbit/s keep about 9,100 packets waiting). A caller that fills the
    // buffer anyway stalls for good: libsrt 1.5.1 does not reopen the flow
    // window. The bookkeeping costs about 0.75 MB per caller, the packet
    // memory only what waits, so memory grows with the callers present (at
    // most --max-callers) and is returned when they leave.
    setIntOption(m_listener.get(), SRTO_FC, kBufferPackets);
    setIntOption(m_listener.get(), SRTO_RCVBUF, kBufferPackets * (kMss - 28));
    // libsrt itself refuses callers without the passphrase (or with another
    // one) during the handshake, and they learn why from its reject reason.
    if (!m_settings.passphrase.isEmpty()) {
        if (srt_setsockflag(m_listener.get(), SRTO_PASSPHRASE, m_settings.passphrase.constData(),
                            m_settings.passphrase.size())
            == SRT_ERROR)
            return false;
        setIntOption(m_listener.get(), SRTO_PBKEYLEN, kKeyLength);
    }
    return srt_listen_callback(m_listener.get(), &SrtHub::onCallerHandshake, this) != SRT_ERROR;
}

int SrtHub::onCallerHandshake(void *hub, int socket, int, const sockaddr *peer, const char *streamId)
{
    return static_cast<SrtHub *>(hub)->screenCaller(socket, peer, streamId);
}

// Runs in libsrt's listener thread while the caller's handshake is under way:
// a refused caller's connect fails with the reason (srt_getrejectreason).
int SrtHub::screenCaller(int socket, const sockaddr *peer, const char *streamId)
{
    const QByteArray id(streamId ? streamId : "");
    const int reason = m_gate.admit(socket, StreamRoute::parse(id));
    if (reason == 0)
        return 0;
    srt_setrejectreason(socket, reason);
    m_status->countRejected();
    printLine(QStringLiteral("rejected caller %1 with stream ID \"%2\": %3")
                  .arg(peerText(peer), StreamRoute::printable(id), QLatin1String(CallerGate::reasonText(reason))));
    return -1;
}

void SrtHub::run()
{
    std::vector<SRT_EPOLL_EVENT> ready(64);
    while (!m_stop) {
        const int count = srt_epoll_uwait(m_epoll, ready.data(), int(ready.size()), roundWaitMs());
        for (int i = 0; i < count; ++i) {
            const SRT_EPOLL_EVENT &event = ready[size_t(i)];
            if (event.fd == m_listener.get()) {
                acceptCallers();
                continue;
            }
            auto it = m_connections.find(event.fd);
            if (it == m_connections.end())
                continue;
            if (event.events & SRT_EPOLL_IN)
                receiveFrom(it->second);
            else if (event.events & SRT_EPOLL_ERR)
                closeConnection(event.fd);
        }
        receiveFromAll();
        pumpFeedbackFile();
        flushRecords();
        doPeriodicWork();
    }
    closeAll();
}

// Until the feedback file's next chunk is due, or a short idle wait.
int SrtHub::roundWaitMs()
{
    if (!m_looper.isOpen() || !hasFeedbackReceiver())
        return kIdleWaitMs;
    const qint64 now = nowUs();
    const qint64 waitUs = m_looper.nextDueUs(now) - now;
    return int(qBound<qint64>(0, (waitUs + 999) / 1000, kIdleWaitMs));
}

void SrtHub::acceptCallers()
{
    for (;;) {
        sockaddr_storage peer{};
        int size = sizeof peer;
        SrtSocket socket(srt_accept(m_listener.get(), reinterpret_cast<sockaddr *>(&peer), &size));
        if (!socket.isValid())
            return;
        addConnection(std::move(socket), peerText(reinterpret_cast<const sockaddr *>(&peer)));
    }
}

void SrtHub::addConnection(SrtSocket accepted, const QString &peer)
{
    const int socket = accepted.get();
    bool readable = false;
    const QByteArray streamId = streamIdOf(socket, &readable);
    const StreamRoute route = StreamRoute::parse(streamId);
    // Normally admitted during the handshake already; this only catches a
    // caller whose place was given up while it waited to be accepted.
    const int reason = readable ? m_gate.admit(socket, route) : SRT_REJX_BAD_REQUEST;
    if (reason != 0) {
        printLine(QStringLiteral("rejected caller %1 with stream ID \"%2\": %3")
                      .arg(peer, StreamRoute::printable(streamId), QLatin1String(CallerGate::reasonText(reason))));
        m_status->countRejected();
        return;
    }

    Connection connection;
    connection.socket = std::move(accepted);
    connection.route = route;
    if (route.kind == StreamRoute::Media)
        connection.record = openRecord(route);
    const StudioStatus::Stream entry = describe(socket, route, streamId, peer);
    connection.statusKey = m_status->addStream(entry);

    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(m_epoll, socket, &events);
    printLine(QStringLiteral("connected %1 \"%2\" from %3 (latency %4 ms, mss %5)")
                  .arg(entry.kind, entry.id, peer)
                  .arg(entry.latency)
                  .arg(entry.mss));
    m_connections.emplace(socket, std::move(connection));
}

// A caller that comes back with its ID continues its recording: appending
// never destroys what an earlier connection (or an earlier run) recorded.
std::unique_ptr<FILE, SrtHub::FileCloser> SrtHub::openRecord(const StreamRoute &route) const
{
    const QString path = QDir(m_settings.recordDir).filePath(route.recordFileName());
    const qint64 earlier = QFileInfo(path).size();
    std::unique_ptr<FILE, FileCloser> record(std::fopen(QFile::encodeName(path).constData(), "ab"));
    if (!record) {
        printLine(QStringLiteral("cannot write %1").arg(path));
        return record;
    }
    std::setvbuf(record.get(), nullptr, _IOFBF, kRecordBuffer);
    if (earlier > 0)
        printLine(QStringLiteral("recording continues %1 after %2 bytes").arg(path).arg(earlier));
    return record;
}

StudioStatus::Stream SrtHub::describe(int socket, const StreamRoute &route, const QByteArray &streamId,
                                      const QString &peer)
{
    StudioStatus::Stream entry;
    entry.id = route.displayId();
    entry.kind = StreamRoute::kindName(route.kind);
    entry.streamId = StreamRoute::printable(streamId);
    entry.peer = peer;
    entry.latency = intOption(socket, SRTO_RCVLATENCY);
    entry.mss = intOption(socket, SRTO_MSS);
    if (route.kind == StreamRoute::Media)
        entry.record = route.recordFileName();
    return entry;
}

void SrtHub::receiveFrom(Connection &connection)
{
    char buffer[kMaxMessage];
    qint64 bytes = 0;
    qint64 messages = 0;
    qint64 lost = 0;
    const int socket = connection.socket.get();
    for (int i = 0; i < kMaxMessagesPerRead; ++i) {
        SRT_MSGCTRL control = srt_msgctrl_default;
        const int size = srt_recvmsg2(socket, buffer, sizeof buffer, &control);
        if (size == SRT_ERROR) {
            const bool drained = srt_getlasterror(nullptr) == SRT_EASYNCRCV;
            m_status->addReceived(connection.statusKey, bytes, messages, lost, nowMs());
            if (!drained)
                closeConnection(socket);
            return;
        }
        if (size == 0)
            break;
        bytes += size;
        ++messages;
        lost += skippedMessages(connection, control.msgno);
        handleMessage(connection, buffer, size);
    }
    m_status->addReceived(connection.statusKey, bytes, messages, lost, nowMs());
}

// A live receiver hands out messages in order and skips those whose time
// passed before they arrived whole; the sender numbers its messages from 1 up
// to 2^26 - 1 and then starts at 1 again, so a skip shows as a gap.
qint64 SrtHub::skippedMessages(Connection &connection, int messageNumber)
{
    constexpr int kLastMessageNumber = 0x03FFFFFF;
    if (messageNumber < 1 || messageNumber > kLastMessageNumber)
        return 0;
    const int previous = connection.lastMessageNumber;
    connection.lastMessageNumber = messageNumber;
    if (previous == 0)
        return 0;
    int step = messageNumber - previous;
    if (step <= 0)
        step += kLastMessageNumber;
    return step - 1;
}

// A read-readiness event can be missed after libsrt skipped late packets; a
// non-blocking read of every caller each round is cheap and keeps data moving.
void SrtHub::receiveFromAll()
{
    std::vector<int> sockets;
    sockets.reserve(m_connections.size());
    for (const auto &entry : m_connections)
        sockets.push_back(entry.first);
    for (const int socket : sockets) {
        auto it = m_connections.find(socket);
        if (it != m_connections.end())
            receiveFrom(it->second);
    }
}

void SrtHub::handleMessage(Connection &connection, const char *data, int size)
{
    switch (connection.route.kind) {
    case StreamRoute::Media:
        if (connection.record) {
            std::fwrite(data, 1, size_t(size), connection.record.get());
            m_recordsDirty = true;
        }
        if (!m_looper.isOpen())
            sendToFeedback(&connection.route.id, data, size);
        break;
    case StreamRoute::Control:
        decodeArrow(connection, data, size);
        break;
    case StreamRoute::SpeedTest:
    case StreamRoute::Feedback:
        break;
    }
}

// Every command comes as several identical copies; the first copy of each
// counter value counts, the rest are repeats.
void SrtHub::decodeArrow(Connection &connection, const char *data, int size)
{
    if (size != kArrowMessageSize)
        return;
    const qint32 counter = qFromLittleEndian<qint32>(data + kArrowCounterOffset);
    if (connection.haveCounter && counter == connection.lastCounter)
        return;
    connection.haveCounter = true;
    connection.lastCounter = counter;
    m_status->addArrow(connection.route.displayId(), counter);
    printLine(QStringLiteral("arrow \"%1\" %2 %3")
                  .arg(connection.route.displayId())
                  .arg(counter)
                  .arg((counter & 1) ? QStringLiteral("right") : QStringLiteral("left")));
}

bool SrtHub::hasFeedbackReceiver() const
{
    for (const auto &entry : m_connections) {
        if (entry.second.route.kind == StreamRoute::Feedback)
            return true;
    }
    return false;
}

// Sends to every feedback caller of the ID (all of them when id is null).
// A receiver that cannot keep up loses messages: libsrt's send buffer is the
// only queue, so memory stays bounded; what libsrt refuses here and what it
// drops later as too late are counted (reportFeedback).
void SrtHub::sendToFeedback(const QByteArray *id, const char *data, int size)
{
    for (auto &entry : m_connections) {
        Connection &receiver = entry.second;
        if (receiver.route.kind != StreamRoute::Feedback || (id && receiver.route.id != *id))
            continue;
        if (srt_sendmsg2(receiver.socket.get(), data, size, nullptr) == SRT_ERROR)
            receiver.failedSendBytes += size;
        else
            receiver.sentBytes += size;
    }
}

void SrtHub::pumpFeedbackFile()
{
    if (!m_looper.isOpen())
        return;
    if (!hasFeedbackReceiver()) {
        m_looper.pause();
        return;
    }
    const qint64 now = nowUs();
    for (int i = 0; i < kMaxChunksPerRound; ++i) {
        const QByteArray chunk = m_looper.takeDue(now);
        if (chunk.isEmpty())
            break;
        sendToFeedback(nullptr, chunk.constData(), chunk.size());
    }
}

void SrtHub::doPeriodicWork()
{
    const qint64 now = nowMs();
    if (now >= m_nextFeedbackReportMs) {
        for (const auto &entry : m_connections) {
            if (entry.second.route.kind == StreamRoute::Feedback)
                reportFeedback(entry.second, false);
        }
        m_nextFeedbackReportMs = now + kFeedbackReportMs;
    }
    if (now >= m_nextSweepMs) {
        releaseVanishedCallers();
        m_nextSweepMs = now + kSweepMs;
    }
}

// Not delivered: what libsrt refused to take, what its sender dropped as too
// late (a receiver that does not read makes it drop), and, when the
// connection closes, what still waits in its send buffer.
void SrtHub::reportFeedback(const Connection &connection, bool closing)
{
    qint64 lost = connection.failedSendBytes;
    SRT_TRACEBSTATS stats{};
    if (srt_bstats(connection.socket.get(), &stats, 0) != SRT_ERROR)
        lost += qMax<qint64>(0, qint64(stats.byteSndDropTotal) - qint64(stats.pktSndDropTotal) * kPacketHeaderBytes);
    size_t blocks = 0;
    size_t waiting = 0;
    if (closing && srt_getsndbuffer(connection.socket.get(), &blocks, &waiting) != SRT_ERROR)
        lost += qint64(waiting);
    m_status->setSent(connection.statusKey, connection.sentBytes, lost);
}

// Callers admitted during their handshake that broke before the hub accepted
// them give their place back.
void SrtHub::releaseVanishedCallers()
{
    for (const int socket : m_gate.admittedSockets()) {
        if (m_connections.count(socket) == 0 && srt_getsockstate(socket) >= SRTS_BROKEN)
            m_gate.release(socket);
    }
}

void SrtHub::closeConnection(int socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    if (it->second.route.kind == StreamRoute::Feedback)
        reportFeedback(it->second, true);
    srt_epoll_remove_usock(m_epoll, socket);
    it->second.socket.reset();
    m_gate.release(socket);
    m_status->setDisconnected(it->second.statusKey);
    printClosed(m_status->stream(it->second.statusKey));
    m_connections.erase(it);
}

void SrtHub::printClosed(const StudioStatus::Stream &seen)
{
    if (seen.kind == StreamRoute::kindName(StreamRoute::Feedback)) {
        printLine(QStringLiteral("closed feedback \"%1\": %2 bytes sent, %3 bytes dropped")
                      .arg(seen.id)
                      .arg(seen.sentBytes)
                      .arg(seen.droppedBytes));
        return;
    }
    const qint64 spanMs = seen.lastMs - seen.firstMs;
    printLine(QStringLiteral("closed %1 \"%2\": %3 bytes in %4 messages, %5 Mbit/s, %6 messages lost")
                  .arg(seen.kind, seen.id)
                  .arg(seen.bytes)
                  .arg(seen.messages)
                  .arg(spanMs > 0 ? seen.bytes * 8.0 / spanMs / 1000.0 : 0.0, 0, 'f', 2)
                  .arg(seen.lostMessages));
}

void SrtHub::closeAll()
{
    while (!m_connections.empty())
        closeConnection(m_connections.begin()->first);
}

void SrtHub::flushRecords()
{
    if (!m_recordsDirty)
        return;
    for (auto &entry : m_connections) {
        if (entry.second.record)
            std::fflush(entry.second.record.get());
    }
    m_recordsDirty = false;
}
