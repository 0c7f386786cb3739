#include "UdpByteCounter.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {
// Room for a burst while the receiving thread is not scheduled.
constexpr int kReceiveBufferBytes = 4 << 20;
constexpr int kStopCheckUs = 50000;

qint64 steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}

UdpByteCounter::UdpByteCounter()
{
    m_socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
    const timeval stopCheck{0, kStopCheckUs};
    ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &stopCheck, sizeof stopCheck);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    m_bound = ::bind(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
              && ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &size) == 0;
    m_port = ntohs(address.sin_port);
    m_thread = std::thread([this] { receive(); });
}

UdpByteCounter::~UdpByteCounter()
{
    m_stop = true;
    m_thread.join();
    ::close(m_socket);
}

qint64 UdpByteCounter::bytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

double UdpByteCounter::kbitsPerSecond() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const qint64 spanNs = m_lastNs - m_firstNs;
    return spanNs > 0 ? m_bytes * 8.0 / 1000.0 / (spanNs / 1e9) : 0.0;
}

bool UdpByteCounter::waitForBytes(qint64 count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return bytes() >= count; }, timeoutMs);
}

void UdpByteCounter::receive()
{
    char datagram[65536];
    while (!m_stop) {
        const ssize_t size = ::recv(m_socket, datagram, sizeof datagram, 0);
        if (size <= 0)
            continue;
        const qint64 now = steadyNs();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_bytes == 0)
            m_firstNs = now;
        m_lastNs = now;
        m_bytes += size;
    }
}
