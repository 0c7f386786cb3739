#pragma once
#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// Accepts one connection on 127.0.0.1, on a port of the system's choosing,
// and keeps everything it receives: stands where the relay takes the
// writer's stream.
class TcpReceiver
{
public:
    TcpReceiver();
    ~TcpReceiver();
    TcpReceiver(const TcpReceiver &) = delete;
    TcpReceiver &operator=(const TcpReceiver &) = delete;

    int port() const { return m_port; }
    // Waits (bounded) until the peer closed the connection.
    bool waitClosed(int timeoutMs);
    QByteArray data() const;

private:
    void run();
    int acceptPeer();
    void receiveFrom(int peer);

    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    std::condition_variable m_closedChanged;
    bool m_closed = false;
    QByteArray m_data;
    std::thread m_thread;
};
