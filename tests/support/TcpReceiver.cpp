#include "TcpReceiver.h"
#include "FreePorts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace {
// How long each wait lasts before the stop flag is looked at again.
constexpr int kStopCheckMs = 50;
}

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
    const int peer = acceptPeer();
    if (peer >= 0) {
        receiveFrom(peer);
        ::close(peer);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_closedChanged.notify_all();
}

int TcpReceiver::acceptPeer()
{
    while (!m_stop) {
        pollfd p{m_listener, POLLIN, 0};
        const int peer = ::poll(&p, 1, kStopCheckMs) > 0 ? ::accept(m_listener, nullptr, nullptr) : -1;
        if (peer >= 0)
            return peer;
    }
    return -1;
}

void TcpReceiver::receiveFrom(int peer)
{
    char buffer[65536];
    while (!m_stop) {
        pollfd p{peer, POLLIN, 0};
        if (::poll(&p, 1, kStopCheckMs) <= 0)
            continue;
        const ssize_t size = ::recv(peer, buffer, sizeof buffer, 0);
        if (size <= 0)
            return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_data.append(buffer, int(size));
    }
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
