#include "SrtInput.h"

#include "transport/SrtLibrary.h"

#include <srt/srt.h>

#include <QDebug>
#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>

namespace mf {

namespace {

bool resolveIPv4(const QString &host, int port, sockaddr_in *address)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &found) != 0 || !found)
        return false;
    std::memcpy(address, found->ai_addr, sizeof *address);
    freeaddrinfo(found);
    address->sin_port = htons(uint16_t(port));
    return true;
}

} // namespace

SrtInput::SrtInput(const std::atomic<bool> &stop) : m_stop(stop), m_message(2048) {}

SrtInput::~SrtInput()
{
    close();
}

bool SrtInput::connect(const SrtCallerUrl &url, int connectTimeoutMs)
{
    startSrtLibrary();
    close();
    sockaddr_in address{};
    if (!resolveIPv4(url.host, url.port, &address)) {
        qWarning() << "MFReader: cannot resolve" << url.host;
        return false;
    }
    m_socket = srt_create_socket();
    if (m_socket == SRT_INVALID_SOCK)
        return false;
    const SRT_TRANSTYPE live = SRTT_LIVE;
    srt_setsockflag(m_socket, SRTO_TRANSTYPE, &live, sizeof live);
    const QByteArray streamId = url.streamId.toUtf8();
    if (!streamId.isEmpty())
        srt_setsockflag(m_socket, SRTO_STREAMID, streamId.constData(), streamId.size());
    if (url.latencyMs >= 0)
        srt_setsockflag(m_socket, SRTO_LATENCY, &url.latencyMs, sizeof url.latencyMs);
    srt_setsockflag(m_socket, SRTO_CONNTIMEO, &connectTimeoutMs, sizeof connectTimeoutMs);
    const int pollMs = kPollMs;
    srt_setsockflag(m_socket, SRTO_RCVTIMEO, &pollMs, sizeof pollMs);
    if (srt_connect(m_socket, reinterpret_cast<sockaddr *>(&address), sizeof address) == SRT_ERROR) {
        qDebug() << "MFReader: connect failed:" << srt_getlasterror_str();
        close();
        return false;
    }
    return true;
}

int SrtInput::read(uint8_t *buffer, int size)
{
    while (m_messageOffset >= m_messageSize) {
        if (m_stop || m_socket < 0)
            return 0;
        const int received = srt_recvmsg(m_socket, m_message.data(), int(m_message.size()));
        if (received == SRT_ERROR) {
            if (srt_getlasterror(nullptr) == SRT_ETIMEOUT)
                continue;
            return -1;
        }
        if (received == 0)
            return -1;
        m_messageOffset = 0;
        m_messageSize = received;
    }
    const int count = qMin(size, m_messageSize - m_messageOffset);
    std::memcpy(buffer, m_message.data() + m_messageOffset, size_t(count));
    m_messageOffset += count;
    return count;
}

void SrtInput::close()
{
    if (m_socket >= 0)
        srt_close(m_socket);
    m_socket = -1;
    m_messageOffset = m_messageSize = 0;
}

} // namespace mf
