#include "TcpReceiver.h"
#include "FreePorts.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

TcpReceiver::TcpReceiver()
{
    quint16 port = 0;
    m_listener = listenOnLoopback(&port);
    m_port = port;
    m_thread = std::thread(&TcpReceiver::run, this);
}

TcpReceiver::~TcpReceiver()
{
    m_stop = true;
    m_thread.join();
    ::close(m_listener);
}

void TcpReceiver::run()
{
    // Each wait is short, so that the stop flag is seen.
    const auto ready = [this](int fd) {
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
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_closedChanged.notify_all();
}

bool TcpReceiver::waitClosed(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_closedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_closed; });
}

// A copy of its own: the receiving thread's next append must not find the
// buffer shared (Qt would copy it where thread sanitizer cannot follow).
QByteArray TcpReceiver::data() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return QByteArray(m_data.constData(), m_data.size());
}
