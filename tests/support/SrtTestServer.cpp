#include "SrtTestServer.h"

#include "FreePorts.h"
#include "transport/srt/SrtLibrary.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QStringList>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/srt.h>

#include <vector>

namespace {
template<typename Condition>
bool waitUntil(Condition condition, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}
}

SrtTestServer::SrtTestServer(Mode mode) : m_mode(mode) {}

SrtTestServer::~SrtTestServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    m_listener.reset();
    if (m_epoll != -1)
        srt_epoll_release(m_epoll);
}

bool SrtTestServer::listen()
{
    startSrtLibrary();
    m_port = freeLoopbackPort();
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    m_listener.reset(srt_create_socket());
    const int listener = m_listener.get();
    const int no = 0;
    srt_setsockflag(listener, SRTO_RCVSYN, &no, sizeof no);
    srt_setsockflag(listener, SRTO_RCVLATENCY, &no, sizeof no);
    if (m_mode == NeverRead) {
        const int smallBuffer = 64 * 1500;
        const int smallWindow = 64;
        srt_setsockflag(listener, SRTO_FC, &smallWindow, sizeof smallWindow);
        srt_setsockflag(listener, SRTO_RCVBUF, &smallBuffer, sizeof smallBuffer);
    }
    if (srt_bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == SRT_ERROR
        || srt_listen(listener, 8) == SRT_ERROR)
        return false;
    m_epoll = srt_epoll_create();
    srt_epoll_set(m_epoll, SRT_EPOLL_ENABLE_EMPTY);
    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
    srt_epoll_add_usock(m_epoll, listener, &events);
    m_thread = std::thread([this] { serve(); });
    return true;
}

void SrtTestServer::serve()
{
    std::vector<SrtSocket> callers;
    SRT_EPOLL_EVENT ready[16];
    char buffer[1500];
    while (!m_stop) {
        const int count = srt_epoll_uwait(m_epoll, ready, 16, 20);
        for (int i = 0; i < count; ++i) {
            const int socket = ready[i].fd;
            if (socket == m_listener.get()) {
                sockaddr_storage peer{};
                int size = sizeof peer;
                SrtSocket caller(srt_accept(socket, reinterpret_cast<sockaddr *>(&peer), &size));
                if (!caller.isValid())
                    continue;
                char id[513] = {};
                int idSize = 512;
                srt_getsockflag(caller.get(), SRTO_STREAMID, id, &idSize);
                {
                    QMutexLocker lock(&m_mutex);
                    m_streamIds.append(QString::fromUtf8(id, idSize));
                }
                ++m_accepted;
                if (m_mode == DropCallers)
                    continue;
                if (m_mode == Record) {
                    const int events = SRT_EPOLL_IN | SRT_EPOLL_ERR;
                    srt_epoll_add_usock(m_epoll, caller.get(), &events);
                }
                callers.push_back(std::move(caller));
                continue;
            }
            for (;;) {
                const int size = srt_recvmsg(socket, buffer, sizeof buffer);
                if (size <= 0) {
                    if (srt_getlasterror(nullptr) != SRT_EASYNCRCV)
                        srt_epoll_remove_usock(m_epoll, socket);
                    break;
                }
                QMutexLocker lock(&m_mutex);
                m_messages.append(QByteArray(buffer, size));
            }
        }
    }
}

QList<QByteArray> SrtTestServer::messages() const
{
    QMutexLocker lock(&m_mutex);
    return m_messages;
}

QStringList SrtTestServer::streamIds() const
{
    QMutexLocker lock(&m_mutex);
    return m_streamIds;
}

bool SrtTestServer::waitForMessages(int count, int timeoutMs) const
{
    return waitUntil([&] { return messages().size() >= count; }, timeoutMs);
}

bool SrtTestServer::waitForCallers(int count, int timeoutMs) const
{
    return waitUntil([&] { return m_accepted >= count; }, timeoutMs);
}
