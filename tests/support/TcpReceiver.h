#pragma once
#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// Accepts one connection on a loopback port of the system's choosing and
// keeps what it receives, in a thread of its own (the writer under test
// blocks the test's thread): stands where the relay takes the writer's stream.
class TcpReceiver
{
public:
    TcpReceiver();
    ~TcpReceiver();
    TcpReceiver(const TcpReceiver &) = delete;
    TcpReceiver &operator=(const TcpReceiver &) = delete;

    int port() const { return m_port; }
    bool waitClosed(int timeoutMs);  // until the peer closed the connection
    QByteArray data() const;

private:
    void run();

    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_closedChanged;
    bool m_closed = false;
    QByteArray m_data;
    std::thread m_thread;
};
