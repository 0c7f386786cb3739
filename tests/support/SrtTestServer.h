#pragma once
#include "transport/srt/SrtSocket.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

// An SRT listener inside the test process on a loopback port of the system's
// choosing, for checks that need every message as it was sent (sizes,
// bytes) or a server that sends nothing. Accepts any number of callers and
// notes their stream IDs; records what they send (Record), closes each
// caller right after accepting it (DropCallers), or accepts and never reads
// (NeverRead, with a small receive buffer: the callers' data backs up).
class SrtTestServer
{
public:
    enum Mode { Record, DropCallers, NeverRead };
    explicit SrtTestServer(Mode mode = Record);
    ~SrtTestServer();
    SrtTestServer(const SrtTestServer &) = delete;
    SrtTestServer &operator=(const SrtTestServer &) = delete;

    bool listen();
    quint16 port() const { return m_port; }

    QList<QByteArray> messages() const;
    QStringList streamIds() const;  // of every caller accepted, in order
    int acceptedCount() const { return m_accepted; }
    // Wait (running the event loop) until at least count messages or callers arrived.
    bool waitForMessages(int count, int timeoutMs) const;
    bool waitForCallers(int count, int timeoutMs) const;

private:
    void serve();
    void accept();
    void receiveFrom(int socket);

    Mode m_mode;
    SrtSocket m_listener;
    int m_epoll = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_accepted{0};
    std::thread m_thread;
    std::vector<SrtSocket> m_callers;  // the serving thread's own
    // Kept in containers of the standard library and handed out as copies:
    // a Qt container shared with the test's thread would be copied on its
    // next append inside Qt, where thread sanitizer cannot follow.
    mutable std::mutex m_mutex;
    std::vector<QByteArray> m_messages;
    std::vector<QString> m_streamIds;
};
