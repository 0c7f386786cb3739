#pragma once
#include "TsTiming.h"

#include <QByteArray>
#include <QFile>
#include <QString>

// Plays an MPEG-TS file in a loop at its own pace (see TsTiming): hands out
// 1316-byte chunks when their time has come, never ahead of it.
class TsLooper
{
public:
    bool open(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    QString describe() const { return m_timing.describe(); }
    // The next chunk if it is due at nowUs (microseconds), else an empty array.
    QByteArray takeDue(qint64 nowUs);
    // When the next chunk is due (microseconds, same clock as takeDue).
    qint64 nextDueUs(qint64 nowUs);
    // Nobody listens: the next chunk goes at once when somebody does, and the
    // file goes on from there at its pace.
    void pause() { m_clockSet = false; }

private:
    void loadNextChunk();
    qint64 dueUs(qint64 nowUs);

    QFile m_file;
    TsTiming m_timing;
    QByteArray m_pending;
    qint64 m_pendingOffset = 0;
    bool m_clockSet = false;
    qint64 m_loopStartUs = 0;  // when offset 0 of the current round is due
};
