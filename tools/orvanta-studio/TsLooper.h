#pragma once
#include <QByteArray>
#include <QFile>
#include <QString>

// Plays an MPEG-TS file in a loop at its own pace: hands out 1316-byte chunks
// when their time has come, timed by the file's program clock references.
class TsLooper
{
public:
    bool open(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    // The next chunk if it is due at nowUs (microseconds), else an empty array.
    QByteArray takeDue(qint64 nowUs);
    // Forget the timing, e.g. after nobody listened for a while.
    void restartClock() { m_haveBase = false; }

private:
    QByteArray readChunk();
    qint64 dueTimeOf(const QByteArray &chunk, qint64 nowUs);

    QFile m_file;
    QByteArray m_pending;
    qint64 m_pendingDueUs = 0;
    bool m_haveBase = false;
    qint64 m_basePcrUs = 0;
    qint64 m_baseTimeUs = 0;
    qint64 m_lastDueUs = 0;
    bool m_fileHasPcr = false;
};
