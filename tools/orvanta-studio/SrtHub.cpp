#include "SrtHub.h"

#include "StudioStatus.h"

#include <QDir>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/srt.h>

#include <syslog.h>

#include <cstdio>
#include <vector>

namespace {
constexpr int kMaxStreamId = 512;
constexpr int kMaxMessage = 1500;
constexpr int kArrowMessageSize = 1316;
constexpr int kArrowCounterOffset = 1312;
constexpr int kListenBacklog = 64;
constexpr int kRecordBuffer = 1 << 16;
constexpr int kReceiveWindowPackets = 100000;

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

QString peerText(const sockaddr_storage &peer)
{
    if (peer.ss_family != AF_INET)
        return QString();
    const auto &in = reinterpret_cast<const sockaddr_in &>(peer);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
    return QString::fromLatin1(text) + ':' + QString::number(ntohs(in.sin_port));
}

// Control characters would garble the console and the JSON readers' view.
QString printable(const QString &text)
{
    QString clean;
    for (const QChar c : text)
        clean += c.isPrint() ? c : QChar('?');
    return clean;
}
}

SrtHub::SrtHub(const Settings &settings, StudioStatus *status) : m_settings(settings), m_status(status)
{
    m_clock.start();
}

SrtHub::~SrtHub()
{
    requestStop();
    wait(5000);
    closeAll();
    if (m_listener != -1)
        srt_close(m_listener);
    if (m_epoll != -1)
        srt_epoll_release(m_epoll);
}

bool SrtHub::open(QString *error)
{
    srt_startup();
    // "No pending connection" and the like are normal here, not worth a line each.
    srt_setloglevel(LOG_CRIT);
    if (!m_settings.feedbackFile.isEmpty() && !m_looper.open(m_settings.feedbackFile)) {
        *error = QStringLiteral("cannot read feedback file ") + m_settings.feedbackFile;
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_settings.port);
    if (inet_pton(AF_INET, m_settings.host.toLatin1().constData(), &address.sin_addr) != 1) {
        *error = QStringLiteral("not an IPv4 address: ") + m_settings.host;
        return false;
    }
    m_listener = srt_create_socket();
    const int no = 0;
    // Latency 0 on our side: each connection then runs at the latency its caller asked for.
    srt_setsockflag(m_listener, SRTO_RCVLATENCY, &no, sizeof no);
    srt_setsockflag(m_listener, SRTO_RCVSYN, &no, sizeof no);
    srt_setsockflag(m_listener, SRTO_SNDSYN, &no, sizeof no);
    // Room for the whole latency window of a caller sending as fast as it can
    // (a speed test on loopback): with a full receive buffer, libsrt stalls
    // live connections whose messages span two packets (the client's MSS of
    // 1052 splits each 1316-byte message).
    const int flowWindow = kReceiveWindowPackets;
    const int receiveBuffer = kReceiveWindowPackets * 1000;
    srt_setsockflag(m_listener, SRTO_FC, &flowWindow, sizeof flowWindow);
    srt_setsockflag(m_listener, SRTO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (srt_bind(m_listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == SRT_ERROR
        || srt_listen(m_listener, kListenBacklog) == SRT_ERROR) {
        *error = QString::fromLocal8Bit(srt_getlasterror_str());
        return false;
    }
    m_epoll = srt_epoll_create();
    srt_epoll_set(m_epoll, SRT_EPOLL_ENABLE_EMPTY);
    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(m_epoll, m_listener, &events);
    return true;
}

void SrtHub::run()
{
    std::vector<SRT_EPOLL_EVENT> ready(64);
    while (!m_stop) {
        const int waitMs = m_looper.isOpen() ? 2 : 20;
        const int count = srt_epoll_uwait(m_epoll, ready.data(), int(ready.size()), waitMs);
        for (int i = 0; i < count; ++i) {
            const SRT_EPOLL_EVENT &event = ready[size_t(i)];
            if (event.fd == m_listener) {
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
    }
    closeAll();
}

void SrtHub::acceptCallers()
{
    for (;;) {
        sockaddr_storage peer{};
        int size = sizeof peer;
        const int socket = srt_accept(m_listener, reinterpret_cast<sockaddr *>(&peer), &size);
        if (socket == SRT_INVALID_SOCK)
            return;
        addConnection(socket, peerText(peer));
    }
}

void SrtHub::addConnection(int socket, const QString &peer)
{
    char idBytes[kMaxStreamId + 1] = {};
    int idSize = kMaxStreamId;
    srt_getsockflag(socket, SRTO_STREAMID, idBytes, &idSize);
    const QString streamId = QString::fromUtf8(idBytes, qBound(0, idSize, kMaxStreamId));
    const StreamRoute route = StreamRoute::parse(streamId);
    if (!route.isValid() || (route.kind == StreamRoute::Media && hasActiveMedia(route.id))) {
        printLine(QStringLiteral("rejected caller %1 with stream ID \"%2\"").arg(peer, printable(streamId)));
        m_status->countRejected();
        srt_close(socket);
        return;
    }

    Connection connection;
    connection.socket = socket;
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
    if (route.kind == StreamRoute::Feedback)
        m_looper.restartClock();
    m_connections.emplace(socket, std::move(connection));
}

std::unique_ptr<FILE, SrtHub::FileCloser> SrtHub::openRecord(const StreamRoute &route) const
{
    const QString path = QDir(m_settings.recordDir).filePath(route.recordFileName());
    std::unique_ptr<FILE, FileCloser> record(std::fopen(QFile::encodeName(path).constData(), "wb"));
    if (record)
        std::setvbuf(record.get(), nullptr, _IOFBF, kRecordBuffer);
    else
        printLine(QStringLiteral("cannot write %1").arg(path));
    return record;
}

StudioStatus::Stream SrtHub::describe(int socket, const StreamRoute &route, const QString &streamId,
                                      const QString &peer)
{
    StudioStatus::Stream entry;
    entry.id = printable(route.id);
    entry.kind = StreamRoute::kindName(route.kind);
    entry.streamId = printable(streamId);
    entry.peer = peer;
    entry.latency = intOption(socket, SRTO_RCVLATENCY);
    entry.mss = intOption(socket, SRTO_MSS);
    return entry;
}

bool SrtHub::hasActiveMedia(const QString &id) const
{
    for (const auto &entry : m_connections) {
        if (entry.second.route.kind == StreamRoute::Media && entry.second.route.id == id)
            return true;
    }
    return false;
}

void SrtHub::receiveFrom(Connection &connection)
{
    char buffer[kMaxMessage];
    qint64 bytes = 0;
    qint64 messages = 0;
    const int socket = connection.socket;
    for (;;) {
        const int size = srt_recvmsg(socket, buffer, sizeof buffer);
        if (size == SRT_ERROR) {
            const bool drained = srt_getlasterror(nullptr) == SRT_EASYNCRCV;
            m_status->addReceived(connection.statusKey, bytes, messages, nowMs());
            if (!drained)
                closeConnection(socket);
            return;
        }
        if (size == 0)
            break;
        bytes += size;
        ++messages;
        handleMessage(connection, buffer, size);
    }
    m_status->addReceived(connection.statusKey, bytes, messages, nowMs());
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
    m_status->addArrow(connection.route.id, counter);
    printLine(QStringLiteral("arrow \"%1\" %2 %3")
                  .arg(printable(connection.route.id))
                  .arg(counter)
                  .arg((counter & 1) ? QStringLiteral("right") : QStringLiteral("left")));
}

// Sends to every feedback caller of the ID (all of them when id is null).
// A receiver that cannot keep up loses the message: libsrt's send buffer is
// the only queue, so memory stays bounded; the loss is counted.
void SrtHub::sendToFeedback(const QString *id, const char *data, int size)
{
    for (auto &entry : m_connections) {
        Connection &receiver = entry.second;
        if (receiver.route.kind != StreamRoute::Feedback || (id && receiver.route.id != *id))
            continue;
        if (srt_sendmsg2(receiver.socket, data, size, nullptr) == SRT_ERROR)
            m_status->addDropped(receiver.statusKey, size);
        else
            m_status->addReceived(receiver.statusKey, 0, 0, nowMs());
    }
}

void SrtHub::pumpFeedbackFile()
{
    if (!m_looper.isOpen())
        return;
    bool anyReceiver = false;
    for (const auto &entry : m_connections)
        anyReceiver = anyReceiver || entry.second.route.kind == StreamRoute::Feedback;
    if (!anyReceiver)
        return;
    const qint64 nowUs = m_clock.nsecsElapsed() / 1000;
    for (QByteArray chunk = m_looper.takeDue(nowUs); !chunk.isEmpty(); chunk = m_looper.takeDue(nowUs))
        sendToFeedback(nullptr, chunk.constData(), chunk.size());
}

void SrtHub::closeConnection(int socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    srt_epoll_remove_usock(m_epoll, socket);
    srt_close(socket);
    m_status->setDisconnected(it->second.statusKey);
    const StudioStatus::Stream seen = m_status->stream(it->second.statusKey);
    const qint64 spanMs = seen.lastMs - seen.firstMs;
    printLine(QStringLiteral("closed %1 \"%2\": %3 bytes in %4 messages, %5 Mbit/s, %6 bytes dropped")
                  .arg(seen.kind, seen.id)
                  .arg(seen.bytes)
                  .arg(seen.messages)
                  .arg(spanMs > 0 ? seen.bytes * 8.0 / spanMs / 1000.0 : 0.0, 0, 'f', 2)
                  .arg(seen.droppedBytes));
    m_connections.erase(it);
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
