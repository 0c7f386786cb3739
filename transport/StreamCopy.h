#pragma once
#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class QFile;

// A copy on disk of every byte a broadcast sends: MPEG-TS as it goes out,
// so whatever reached the disk before a crash or a power loss plays. One
// file for a whole session, reconnects included. Written on a thread of its
// own, so a slow disk never holds up the stream: what does not fit into a
// bounded queue is left out of the copy (never out of the stream), and said
// once. Stops, saying so, when the disk has less than kMinFreeBytes left.
// Messages go to the log.
class StreamCopy
{
public:
    static constexpr qint64 kMinFreeBytes = 1024LL * 1024 * 1024;
    static constexpr qint64 kMaxQueuedBytes = 32LL * 1024 * 1024;
    // How much is written between two looks at the free space.
    static constexpr qint64 kSpaceCheckBytes = 4LL * 1024 * 1024;

    // The file is created in folder (made when missing); nothing throws.
    // minFreeBytes: what the copy leaves free on the disk.
    StreamCopy(const QString &folder, const QString &streamId, const QDateTime &start = QDateTime::currentDateTime(),
               qint64 minFreeBytes = kMinFreeBytes);
    // Writes what is queued, then closes the file.
    ~StreamCopy();
    StreamCopy(const StreamCopy &) = delete;
    StreamCopy &operator=(const StreamCopy &) = delete;

    // "$XDG_VIDEOS_DIR/Orvanta", else "~/Videos/Orvanta".
    static QString defaultFolder();
    // "2026-12-09_14-03-27_<stream ID>.ts": the stream ID with anything but
    // letters, digits, '-' and '_' made '_', at most 64 of them.
    static QString fileName(const QDateTime &start, const QString &streamId);

    // False when the file could not be made or the disk is too full to begin;
    // problem() says why.
    bool isOpen() const { return m_open; }
    QString path() const { return m_path; }
    QString problem() const;

    // From the relay's thread: queued, never waited for.
    void append(const char *data, int size);

    // Once stopped (disk full, write error) the rest is not kept.
    bool hasStopped() const { return m_stopped; }

private:
    bool open(const QString &folder);
    void write();
    bool enoughSpace(qint64 next);
    void stop(const QString &why);

    QString m_path;
    std::unique_ptr<QFile> m_file; // the writer thread's once it runs
    std::atomic<bool> m_open{false};
    std::atomic<bool> m_stopped{false};
    std::atomic<qint64> m_written{0};
    const qint64 m_minFreeBytes;
    qint64 m_sinceSpaceCheck = kSpaceCheckBytes; // checks before the first write

    mutable std::mutex m_mutex; // guards what follows
    std::condition_variable m_wake;
    std::deque<QByteArray> m_queue;
    qint64 m_queuedBytes = 0;
    bool m_closing = false;
    bool m_toldLeftOut = false;
    QString m_problem;

    std::thread m_writer;
};
