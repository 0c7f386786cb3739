#include "TsLooper.h"

namespace {
constexpr int kPacket = 188;
constexpr int kChunk = 7 * kPacket;
constexpr qint64 kMaxPcrStepUs = 10 * 1000 * 1000;
// Pace for files without clock references: one chunk every 2 ms (about 5 Mbit/s).
constexpr qint64 kFallbackStepUs = 2000;

// The packet's program clock reference in microseconds, or -1.
qint64 pcrMicroseconds(const uchar *p)
{
    const bool hasAdaptation = p[0] == 0x47 && (p[3] & 0x20) && p[4] >= 7;
    if (!hasAdaptation || !(p[5] & 0x10))
        return -1;
    const qint64 base = (qint64(p[6]) << 25) | (qint64(p[7]) << 17) | (qint64(p[8]) << 9) | (qint64(p[9]) << 1)
                        | (p[10] >> 7);
    return base * 100 / 9;
}
}

bool TsLooper::open(const QString &path)
{
    m_file.setFileName(path);
    return m_file.open(QIODevice::ReadOnly) && m_file.size() >= kPacket;
}

QByteArray TsLooper::readChunk()
{
    QByteArray chunk = m_file.read(kChunk);
    if (chunk.size() < kPacket) {
        m_file.seek(0);
        m_haveBase = false;  // the clock starts again with the file
        chunk = m_file.read(kChunk);
    }
    return chunk;
}

qint64 TsLooper::dueTimeOf(const QByteArray &chunk, qint64 nowUs)
{
    qint64 pcr = -1;
    for (int offset = 0; pcr < 0 && offset + kPacket <= chunk.size(); offset += kPacket)
        pcr = pcrMicroseconds(reinterpret_cast<const uchar *>(chunk.constData()) + offset);
    if (pcr < 0)
        return m_fileHasPcr ? m_lastDueUs : qMax(nowUs, m_lastDueUs + kFallbackStepUs);
    m_fileHasPcr = true;
    if (!m_haveBase || pcr < m_basePcrUs || pcr - m_basePcrUs > kMaxPcrStepUs + (nowUs - m_baseTimeUs)) {
        m_haveBase = true;
        m_basePcrUs = pcr;
        m_baseTimeUs = nowUs;
    }
    return m_baseTimeUs + (pcr - m_basePcrUs);
}

QByteArray TsLooper::takeDue(qint64 nowUs)
{
    if (!isOpen())
        return QByteArray();
    if (m_pending.isEmpty()) {
        m_pending = readChunk();
        m_pendingDueUs = dueTimeOf(m_pending, nowUs);
        m_lastDueUs = m_pendingDueUs;
    }
    if (m_pending.isEmpty() || nowUs < m_pendingDueUs)
        return QByteArray();
    QByteArray due;
    due.swap(m_pending);
    return due;
}
