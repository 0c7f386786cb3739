#include "UdpByteCounter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// Room for a burst while the receiving thread is not scheduled.
constexpr int kReceiveBufferBytes = 4 << 20;
constexpr int kStopCheckUs = 50000;
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

void UdpByteCounter::receive()
{
    char datagram[65536];
    qint64 total = 0;
    while (!m_stop) {
        const ssize_t size = ::recv(m_socket, datagram, sizeof datagram, 0);
        if (size <= 0)
            continue;
        total += size;
        m_arrivals.note(total);
    }
}
