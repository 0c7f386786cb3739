#include "SrtTestServer.h"

#include "transport/srt/SrtLibrary.h"

#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/srt.h>

namespace {
void setFlag(int socket, SRT_SOCKOPT option, int value)
{
    srt_setsockflag(socket, option, &value, sizeof value);
}
}

SrtTestServer::SrtTestServer(Mode mode) : m_mode(mode) {}

SrtTestServer::~SrtTestServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    m_callers.clear();
    m_listener.reset();
    if (m_epoll != -1)
        srt_epoll_release(m_epoll);
}

bool SrtTestServer::listen()
{
    startSrtLibrary();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_listener.reset(srt_create_socket());
    const int listener = m_listener.get();
    setFlag(listener, SRTO_RCVSYN, 0);
    setFlag(listener, SRTO_RCVLATENCY, 0);
    if (m_mode == NeverRead) {
        setFlag(listener, SRTO_FC, 64);
        setFlag(listener, SRTO_RCVBUF, 64 * 1500);
    }
    int size = sizeof address;
    if (srt_bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == SRT_ERROR
        || srt_listen(listener, 8) == SRT_ERROR
        || srt_getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == SRT_ERROR)
        return false;
    m_port = ntohs(address.sin_port);
    m_epoll = srt_epoll_create();
    srt_epoll_set(m_epoll, SRT_EPOLL_ENABLE_EMPTY);
    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(m_epoll, listener, &events);
    m_thread = std::thread([this] { serve(); });
    return true;
}

void SrtTestServer::serve()
{
    SRT_EPOLL_EVENT ready[16];
    while (!m_stop) {
        const int count = srt_epoll_uwait(m_epoll, ready, 16, 20);
        for (int i = 0; i < count; ++i) {
            if (ready[i].fd == m_listener.get())
                accept();
            else
                receiveFrom(ready[i].fd);
        }
    }
}

void SrtTestServer::accept()
{
    sockaddr_storage peer{};
    int size = sizeof peer;
    SrtSocket caller(srt_accept(m_listener.get(), reinterpret_cast<sockaddr *>(&peer), &size));
    if (!caller.isValid())
        return;
    char id[513] = {};
    int idSize = 512;
    srt_getsockflag(caller.get(), SRTO_STREAMID, id, &idSize);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_streamIds.push_back(QString::fromUtf8(id, idSize));
    }
    ++m_accepted;
    if (m_mode == DropCallers)
        return;
    if (m_mode == Record) {
        const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
        srt_epoll_add_usock(m_epoll, caller.get(), &events);
    }
    m_callers.push_back(std::move(caller));
}

void SrtTestServer::receiveFrom(int socket)
{
    char buffer[1500];
    for (;;) {
        const int size = srt_recvmsg(socket, buffer, sizeof buffer);
        if (size <= 0) {
            if (srt_getlasterror(nullptr) != SRT_EASYNCRCV)
                srt_epoll_remove_usock(m_epoll, socket);
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.emplace_back(buffer, size);
    }
}

QList<QByteArray> SrtTestServer::messages() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return QList<QByteArray>(m_messages.begin(), m_messages.end());
}

QStringList SrtTestServer::streamIds() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return QStringList(m_streamIds.begin(), m_streamIds.end());
}

bool SrtTestServer::waitForMessages(int count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return messages().size() >= count; }, timeoutMs);
}

bool SrtTestServer::waitForCallers(int count, int timeoutMs) const
{
    return QTest::qWaitFor([&] { return m_accepted >= count; }, timeoutMs);
}
