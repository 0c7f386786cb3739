#pragma once
#include <QtGlobal>

#include <atomic>
#include <mutex>
#include <thread>

// Receives datagrams on a loopback UDP port of the system's choosing, in a
// thread of its own, and counts their bytes, with the times of the first and
// the last one: the receiving side's view of a transfer that a listener
// program forwards here.
class UdpByteCounter
{
public:
    UdpByteCounter();
    ~UdpByteCounter();
    UdpByteCounter(const UdpByteCounter &) = delete;
    UdpByteCounter &operator=(const UdpByteCounter &) = delete;

    bool isBound() const { return m_bound; }
    quint16 port() const { return m_port; }
    qint64 bytes() const;
    // Bytes over the time from the first to the last datagram.
    double kbitsPerSecond() const;
    // Waits (running the event loop) until at least count bytes arrived.
    bool waitForBytes(qint64 count, int timeoutMs) const;

private:
    void receive();

    quint16 m_port = 0;
    int m_socket = -1;
    bool m_bound = false;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;  // the three figures change together
    qint64 m_bytes = 0;
    qint64 m_firstNs = 0;
    qint64 m_lastNs = 0;
    std::thread m_thread;
};
