#include "transport/StreamCopy.h"

#include "diagnostics/LogLine.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>

namespace {

constexpr int kMaxStreamIdInName = 64;

QString megabytes(qint64 bytes)
{
    constexpr qint64 kGigabyte = 1024LL * 1024 * 1024;
    if (bytes >= kGigabyte && bytes % kGigabyte == 0)
        return QStringLiteral("%1 GB").arg(bytes / kGigabyte);
    return QString::number(double(bytes) / (1024 * 1024), 'f', 1) + QStringLiteral(" MB");
}

} // namespace

StreamCopy::StreamCopy(const QString &folder, const QString &streamId, const QDateTime &start, qint64 minFreeBytes)
    : m_path(QDir(folder).filePath(fileName(start, streamId))), m_minFreeBytes(minFreeBytes)
{
    if (!open(folder)) {
        logLine(QStringLiteral("Cannot keep a copy of the broadcast: ") + problem());
        return;
    }
    logLine(QStringLiteral("Keeping a copy of the broadcast in ") + m_path);
    m_writer = std::thread(&StreamCopy::write, this);
}

StreamCopy::~StreamCopy()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_wake.notify_one();
    if (m_writer.joinable())
        m_writer.join();
    if (m_open)
        logLine(QStringLiteral("The copy of the broadcast holds %1: %2").arg(megabytes(m_written), m_path));
}

QString StreamCopy::defaultFolder()
{
    // The variable where the session exports it; else Qt reads it from the
    // user's user-dirs.dirs, and falls back to ~/Videos.
    QString videos = qEnvironmentVariable("XDG_VIDEOS_DIR");
    if (videos.isEmpty())
        videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    if (videos.isEmpty())
        videos = QDir::home().filePath(QStringLiteral("Videos"));
    return QDir(videos).filePath(QStringLiteral("Orvanta"));
}

QString StreamCopy::fileName(const QDateTime &start, const QString &streamId)
{
    QString id = streamId.left(kMaxStreamIdInName);
    id.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_-]")), QStringLiteral("_"));
    QString name = start.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"));
    if (!id.isEmpty())
        name += QLatin1Char('_') + id;
    return name + QStringLiteral(".ts");
}

QString StreamCopy::problem() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_problem;
}

bool StreamCopy::open(const QString &folder)
{
    auto fail = [this](const QString &why) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_problem = why;
        return false;
    };
    if (!QDir().mkpath(folder))
        return fail(QStringLiteral("the folder %1 cannot be made").arg(folder));
    QStorageInfo disk(folder);
    if (disk.bytesAvailable() < m_minFreeBytes)
        return fail(QStringLiteral("less than %1 is free on the disk of %2").arg(megabytes(m_minFreeBytes), folder));
    m_file = std::make_unique<QFile>(m_path);
    // A new file only: nothing someone else placed under this name is
    // followed or overwritten.
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(QStringLiteral("%1: %2").arg(m_path, m_file->errorString()));
    m_file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    m_open = true;
    return true;
}

void StreamCopy::append(const char *data, int size)
{
    if (!m_open || m_stopped || size <= 0)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queuedBytes + size > kMaxQueuedBytes) {
            if (!m_toldLeftOut)
                logLine(QStringLiteral("The disk is too slow for the copy of the broadcast: parts are missing in ")
                        + m_path);
            m_toldLeftOut = true;
            return;
        }
        m_queue.emplace_back(data, size);
        m_queuedBytes += size;
    }
    m_wake.notify_one();
}

// The writer thread: takes everything queued at once, writes it through to
// the disk (a crash loses only what was still queued).
void StreamCopy::write()
{
    std::deque<QByteArray> batch;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_closing || !m_queue.empty(); });
            if (m_queue.empty())
                break;
            batch.swap(m_queue);
            m_queuedBytes = 0;
        }
        for (const QByteArray &chunk : batch) {
            if (m_stopped)
                break;
            if (!enoughSpace(chunk.size()))
                stop(QStringLiteral("less than %1 is free on the disk").arg(megabytes(m_minFreeBytes)));
            else if (m_file->write(chunk) != chunk.size())
                stop(m_file->errorString());
            else
                m_written += chunk.size();
        }
        batch.clear();
        if (!m_stopped)
            m_file->flush();
    }
    m_file->close();
}

bool StreamCopy::enoughSpace(qint64 next)
{
    if (m_sinceSpaceCheck < kSpaceCheckBytes) {
        m_sinceSpaceCheck += next;
        return true;
    }
    m_sinceSpaceCheck = next;
    return QStorageInfo(m_path).bytesAvailable() - next >= m_minFreeBytes;
}

void StreamCopy::stop(const QString &why)
{
    m_stopped = true;
    logLine(QStringLiteral("The copy of the broadcast stopped (%1); the broadcast goes on. The copy so far: %2")
                .arg(why, m_path));
}
