#pragma once
#include "ByteArrivals.h"

#include <atomic>
#include <thread>

// Counts the bytes of datagrams arriving at a loopback UDP port of the
// system's choosing, in a thread of its own: a listener program's view.
class UdpByteCounter
{
public:
    UdpByteCounter();
    ~UdpByteCounter();
    UdpByteCounter(const UdpByteCounter &) = delete;
    UdpByteCounter &operator=(const UdpByteCounter &) = delete;

    bool isBound() const { return m_bound; }
    quint16 port() const { return m_port; }
    const ByteArrivals &arrivals() const { return m_arrivals; }

private:
    void receive();

    quint16 m_port = 0;
    int m_socket = -1;
    bool m_bound = false;
    ByteArrivals m_arrivals;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
