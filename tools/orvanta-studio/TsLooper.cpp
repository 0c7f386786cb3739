#include "TsLooper.h"

namespace {
constexpr int kPacket = 188;
constexpr int kChunk = 7 * kPacket;
// Behind by more than this (the server was busy), the file goes on from where
// it is instead of catching up in a burst.
constexpr qint64 kMaxLagUs = 250 * 1000;
}

bool TsLooper::open(const QString &path)
{
    m_file.setFileName(path);
    if (!m_file.open(QIODevice::ReadOnly) || !m_timing.scan(&m_file)) {
        m_file.close();
        return false;
    }
    return true;
}

void TsLooper::loadNextChunk()
{
    m_pendingOffset = m_file.pos();
    m_pending = m_file.read(kChunk);
    if (m_pending.size() < kPacket) {
        m_file.seek(0);
        m_loopStartUs += m_timing.durationUs();
        m_pendingOffset = 0;
        m_pending = m_file.read(kChunk);
    }
}

qint64 TsLooper::dueUs(qint64 nowUs)
{
    if (m_pending.isEmpty())
        loadNextChunk();
    const qint64 offsetUs = m_timing.timeAtUs(m_pendingOffset);
    if (!m_clockSet || nowUs - (m_loopStartUs + offsetUs) > kMaxLagUs) {
        m_loopStartUs = nowUs - offsetUs;
        m_clockSet = true;
    }
    return m_loopStartUs + offsetUs;
}

qint64 TsLooper::nextDueUs(qint64 nowUs)
{
    return isOpen() ? dueUs(nowUs) : nowUs;
}

QByteArray TsLooper::takeDue(qint64 nowUs)
{
    if (!isOpen() || nowUs < dueUs(nowUs))
        return QByteArray();
    QByteArray due;
    due.swap(m_pending);
    return due;
}
