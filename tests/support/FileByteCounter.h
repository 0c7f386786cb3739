#pragma once
#include "ByteArrivals.h"

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

// Follows the size of a file another process writes, in a thread of its own,
// every millisecond: a listener program's view of what it received.
class FileByteCounter
{
public:
    explicit FileByteCounter(const QString &path) : m_path(path.toLocal8Bit())
    {
        m_thread = std::thread([this] {
            while (!m_stop) {
                struct stat info{};
                if (::stat(m_path.constData(), &info) == 0)
                    m_arrivals.note(info.st_size);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
    }
    ~FileByteCounter()
    {
        m_stop = true;
        m_thread.join();
    }
    FileByteCounter(const FileByteCounter &) = delete;
    FileByteCounter &operator=(const FileByteCounter &) = delete;

    const ByteArrivals &arrivals() const { return m_arrivals; }

private:
    QByteArray m_path;
    ByteArrivals m_arrivals;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
