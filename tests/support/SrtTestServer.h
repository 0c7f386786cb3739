#pragma once
#include "transport/srt/SrtLibrary.h"
#include "transport/srt/SrtSocket.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <srt/srt.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// An in-process SRT listener on a loopback port of the system's choosing,
// serving from a thread of its own. Notes every caller's stream ID; records
// each message as sent (Record), closes callers at once (DropCallers), or
// never reads, with a small buffer so that the callers' data backs up (NeverRead).
class SrtTestServer
{
public:
    enum Mode { Record, DropCallers, NeverRead };
    explicit SrtTestServer(Mode mode = Record) : m_mode(mode) {}
    ~SrtTestServer()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        m_callers.clear();
        m_listener.reset();
        if (m_epoll != -1)
            srt_epoll_release(m_epoll);
    }
    SrtTestServer(const SrtTestServer &) = delete;
    SrtTestServer &operator=(const SrtTestServer &) = delete;

    bool listen()
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
        srt_epoll_add_usock(m_epoll, listener, &kEvents);
        m_thread = std::thread([this] { serve(); });
        return true;
    }
    quint16 port() const { return m_port; }

    QList<QByteArray> messages() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return QList<QByteArray>(m_messages.begin(), m_messages.end());
    }
    QStringList streamIds() const  // of every caller accepted, in order
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return QStringList(m_streamIds.begin(), m_streamIds.end());
    }
    // Run the event loop until at least count messages or callers arrived.
    bool waitForMessages(int count, int timeoutMs) const
    {
        return QTest::qWaitFor([&] { return messages().size() >= count; }, timeoutMs);
    }
    bool waitForCallers(int count, int timeoutMs) const
    {
        return QTest::qWaitFor([&] { return m_accepted >= count; }, timeoutMs);
    }

private:
    static constexpr int kEvents = int(SRT_EPOLL_IN) | int(SRT_EPOLL_ERR);

    static void setFlag(int socket, SRT_SOCKOPT option, int value)
    {
        srt_setsockflag(socket, option, &value, sizeof value);
    }
    void serve()
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
    void accept()
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
        if (m_mode == Record)
            srt_epoll_add_usock(m_epoll, caller.get(), &kEvents);
        m_callers.push_back(std::move(caller));
    }
    void receiveFrom(int socket)
    {
        char buffer[1500];
        for (int size; (size = srt_recvmsg(socket, buffer, sizeof buffer)) > 0;) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_messages.emplace_back(buffer, size);
        }
        if (srt_getlasterror(nullptr) != SRT_EASYNCRCV)
            srt_epoll_remove_usock(m_epoll, socket);
    }

    Mode m_mode;
    SrtSocket m_listener;
    int m_epoll = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
    std::vector<SrtSocket> m_callers;  // the serving thread's own
    // Standard containers handed out as copies: a shared Qt container would be
    // detached inside Qt, where thread sanitizer cannot follow.
    mutable std::mutex m_mutex;
    std::vector<QByteArray> m_messages;
    std::vector<QString> m_streamIds;
};
