#pragma once
#include "media/engine/SrtInput.h"
#include "transport/srt/SrtCallerUrl.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <mutex>
#include <thread>

// Records a return stream the way the player's reader receives it: the
// player's URL (latency included), the reader's own connection, the bytes as
// they arrive, from a thread of its own until it goes.
class ReturnStreamRecorder
{
public:
    explicit ReturnStreamRecorder(const QString &url) : m_thread([this, url] { record(url); }) {}
    ~ReturnStreamRecorder()
    {
        m_stop = true;
        m_thread.join();
    }
    ReturnStreamRecorder(const ReturnStreamRecorder &) = delete;
    ReturnStreamRecorder &operator=(const ReturnStreamRecorder &) = delete;

    QByteArray bytes() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_bytes;
    }

private:
    static constexpr int kConnectTimeoutMs = 5000;

    void record(const QString &url)
    {
        const std::optional<SrtEndpoint> parsed = SrtCallerUrl::parse(url);
        mf::SrtInput input(m_stop);
        if (!parsed || !input.connect(*parsed, kConnectTimeoutMs))
            return;
        uint8_t buffer[1316];
        for (int got = input.read(buffer, sizeof buffer); got > 0; got = input.read(buffer, sizeof buffer)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bytes.append(reinterpret_cast<const char *>(buffer), got);
        }
    }

    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QByteArray m_bytes;
    std::thread m_thread;  // last: starts once the members above exist
};
