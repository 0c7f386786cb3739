#pragma once
#include "ByteArrivals.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

// Counts the bytes of datagrams arriving at a loopback UDP port of the
// system's choosing, in a thread of its own: a listener program's view.
class UdpByteCounter
{
public:
    UdpByteCounter() : m_socket(::socket(AF_INET, SOCK_DGRAM, 0))
    {
        const int receiveBuffer = 4 << 20;  // room for a burst while the thread is not scheduled
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        const timeval stopCheck{0, 50000};
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &stopCheck, sizeof stopCheck);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        m_bound = ::bind(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0
                  && ::getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &size) == 0;
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] {
            char datagram[65536];
            qint64 total = 0;
            while (!m_stop) {
                const ssize_t size = ::recv(m_socket, datagram, sizeof datagram, 0);
                if (size > 0)
                    m_arrivals.note(total += size);
            }
        });
    }
    ~UdpByteCounter()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_socket);
    }
    UdpByteCounter(const UdpByteCounter &) = delete;
    UdpByteCounter &operator=(const UdpByteCounter &) = delete;

    bool isBound() const { return m_bound; }
    quint16 port() const { return m_port; }
    const ByteArrivals &arrivals() const { return m_arrivals; }

private:
    int m_socket = -1;
    quint16 m_port = 0;
    bool m_bound = false;
    ByteArrivals m_arrivals;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
