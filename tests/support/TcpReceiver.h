#pragma once
#include "FreePorts.h"

#include <QByteArray>
#include <QDeadlineTimer>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

// Accepts one connection on a loopback port of the system's choosing and
// keeps what it receives, in a thread of its own (the writer under test
// blocks the test's thread): stands where the relay takes the writer's stream.
class TcpReceiver
{
public:
    TcpReceiver() : m_listener(listenOnLoopback(&m_port)), m_thread(&TcpReceiver::run, this) {}
    ~TcpReceiver()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    TcpReceiver(const TcpReceiver &) = delete;
    TcpReceiver &operator=(const TcpReceiver &) = delete;

    int port() const { return m_port; }
    bool waitClosed(int timeoutMs)  // until the peer closed the connection
    {
        for (QDeadlineTimer deadline(timeoutMs); !m_closed && !deadline.hasExpired();)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return m_closed;
    }
    // A copy of its own: the receiving thread's next append must not find the
    // buffer shared (Qt would copy it where thread sanitizer cannot follow).
    QByteArray data() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return QByteArray(m_data.constData(), m_data.size());
    }

private:
    void run()
    {
        // Each wait is short, so that the stop flag is seen.
        const auto ready = [](int fd) {
            pollfd p{fd, POLLIN, 0};
            return ::poll(&p, 1, 50) > 0;
        };
        int peer = -1;
        while (!m_stop && peer < 0)
            peer = ready(m_listener) ? ::accept(m_listener, nullptr, nullptr) : -1;
        char buffer[65536];
        while (peer >= 0 && !m_stop) {
            if (!ready(peer))
                continue;
            const ssize_t size = ::recv(peer, buffer, sizeof buffer, 0);
            if (size <= 0)
                break;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_data.append(buffer, int(size));
        }
        if (peer >= 0)
            ::close(peer);
        m_closed = true;
    }

    quint16 m_port = 0;  // before m_listener: listenOnLoopback writes it
    int m_listener = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_closed{false};
    mutable std::mutex m_mutex;
    QByteArray m_data;
    std::thread m_thread;  // last: starts once the members above exist
};
