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

// An in-process SRT listener on a loopback port of the system's choosing,
// serving from a thread of its own. Notes every caller's stream ID; records
// each message as sent (Record), closes callers at once (DropCallers), or
// never reads, with a small buffer so that the callers' data backs up (NeverRead).
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
    // Run the event loop until at least count messages or callers arrived.
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
    // Standard containers handed out as copies: a shared Qt container would be
    // detached inside Qt, where thread sanitizer cannot follow.
    mutable std::mutex m_mutex;
    std::vector<QByteArray> m_messages;
    std::vector<QString> m_streamIds;
};
