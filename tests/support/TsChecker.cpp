#include "TsChecker.h"

#include <QStringList>
#include <algorithm>
#include <numeric>

namespace {

constexpr int kSize = TsChecker::kPacketSize;
constexpr int kNullPid = 0x1fff;
constexpr qint64 kPcrWrap = (qint64(1) << 33) * 300;

int byteAt(const QByteArray &data, int index)
{
    return uchar(data.at(index));
}

// Start code prefix 00 00 01 at index.
bool startCodeAt(const QByteArray &data, int index)
{
    return index + 3 < data.size() && data.at(index) == 0 && data.at(index + 1) == 0 && data.at(index + 2) == 1;
}

qint64 readPts(const QByteArray &pes, int at)
{
    return (qint64(byteAt(pes, at) >> 1 & 0x07) << 30) | (qint64(byteAt(pes, at + 1)) << 22)
        | (qint64(byteAt(pes, at + 2) >> 1) << 15) | (qint64(byteAt(pes, at + 3)) << 7)
        | qint64(byteAt(pes, at + 4) >> 1);
}

// MPEG-1 and MPEG-2 video, MPEG-4 Visual, H.264, HEVC.
bool isVideoStreamType(int type)
{
    return type == 0x01 || type == 0x02 || type == 0x10 || type == 0x1b || type == 0x24;
}

// The next offset from which the sync byte repeats every packet (three times,
// or up to the end of the stream); -1 when there is none.
int resync(const QByteArray &stream, int from)
{
    for (int i = from; i + kSize <= stream.size(); ++i) {
        bool aligned = true;
        for (int at = i; aligned && at < stream.size() && at < i + 3 * kSize; at += kSize)
            aligned = uchar(stream.at(at)) == 0x47;
        if (aligned)
            return i;
    }
    return -1;
}

} // namespace

struct TsChecker::Packet
{
    // Not valid: what a decoder discards (reserved adaptation control, oversized adaptation field).
    explicit Packet(const char *bytes)
    {
        const auto *b = reinterpret_cast<const uchar *>(bytes);
        unitStart = b[1] & 0x40;
        pid = (b[1] & 0x1f) << 8 | b[2];
        const int control = b[3] >> 4 & 0x03;
        counter = b[3] & 0x0f;
        const int length = control & 0x02 ? b[4] : -1;
        valid = control != 0 && length <= kPacketSize - 5;
        if (!valid)
            return;
        const int payloadStart = length < 0 ? 4 : 5 + length;
        if (length > 0) {
            discontinuity = b[5] & 0x80;
            randomAccess = b[5] & 0x40;
            hasPcr = (b[5] & 0x10) && length >= 7;
            const qint64 base = qint64(b[6]) << 25 | qint64(b[7]) << 17 | qint64(b[8]) << 9
                | qint64(b[9]) << 1 | qint64(b[10] >> 7);
            pcr = hasPcr ? base * 300 + ((b[10] & 0x01) << 8 | b[11]) : 0;
        }
        hasPayload = (control & 0x01) && payloadStart < kPacketSize;
        if (hasPayload)
            payload = QByteArray(bytes + payloadStart, kPacketSize - payloadStart);
    }

    bool valid = false;
    int pid = 0;
    bool unitStart = false;
    bool hasPayload = false;
    int counter = 0;
    bool discontinuity = false;
    bool randomAccess = false;
    bool hasPcr = false;
    qint64 pcr = 0;
    QByteArray payload;
};

TsChecker::TsChecker(const QByteArray &stream)
{
    int pos = 0;
    while (pos + kPacketSize <= stream.size()) {
        if (uchar(stream.at(pos)) != 0x47) {
            ++m_syncErrors;
            pos = resync(stream, pos + 1);
            if (pos < 0)
                return;
            continue;
        }
        ++m_packets;
        const Packet packet(stream.constData() + pos);
        if (packet.valid) {
            checkContinuity(packet);
            checkPcr(packet);
            readTables(packet);
            collectVideo(packet);
        }
        pos += kPacketSize;
    }
    m_trailingBytes = stream.size() - pos;
    finishVideoUnit();
}

void TsChecker::checkContinuity(const Packet &packet)
{
    if (packet.pid == kNullPid)
        return;
    PidState &state = m_pidStates[packet.pid];
    if (packet.discontinuity)
        state.lastCounter = -1;
    // Packets without payload do not advance the counter.
    if (!packet.hasPayload)
        return;
    if (state.lastCounter >= 0) {
        const bool sameCounter = packet.counter == state.lastCounter;
        if (sameCounter && !state.duplicateSeen && packet.payload == state.lastPayload) {
            state.duplicateSeen = true;
            return;
        }
        if (packet.counter != ((state.lastCounter + 1) & 0x0f))
            ++m_ccErrors[packet.pid];
    }
    state.lastCounter = packet.counter;
    state.duplicateSeen = false;
    state.lastPayload = packet.payload;
}

int TsChecker::continuityErrors() const
{
    return std::accumulate(m_ccErrors.cbegin(), m_ccErrors.cend(), 0);
}

void TsChecker::checkPcr(const Packet &packet)
{
    if (packet.discontinuity && packet.pid == m_pcrPid)
        m_lastPcr = -1;
    if (!packet.hasPcr || (m_pcrPid >= 0 && packet.pid != m_pcrPid))
        return;
    ++m_pcrCount;
    if (m_lastPcr >= 0) {
        const qint64 step = packet.pcr - m_lastPcr;
        m_largestPcrGap = std::max(m_largestPcrGap, step < 0 ? step + kPcrWrap : step);
    }
    m_lastPcr = packet.pcr;
}

// The program association and program map sections: the first program's
// map, its PCR PID and its first video stream.
void TsChecker::readTables(const Packet &packet)
{
    if (!packet.unitStart || !packet.hasPayload || (packet.pid != 0 && packet.pid != m_pmtPid))
        return;
    const QByteArray section = packet.payload.mid(1 + byteAt(packet.payload, 0));
    if (section.size() < 12)
        return;
    const int length = (byteAt(section, 1) & 0x0f) << 8 | byteAt(section, 2);
    const int end = std::min(3 + length - 4, int(section.size()));  // without the CRC
    if (packet.pid == 0 && byteAt(section, 0) == 0x00) {
        for (int i = 8; i + 4 <= end; i += 4) {
            if ((byteAt(section, i) << 8 | byteAt(section, i + 1)) != 0) {
                m_pmtPid = (byteAt(section, i + 2) & 0x1f) << 8 | byteAt(section, i + 3);
                return;
            }
        }
    } else if (packet.pid == m_pmtPid && byteAt(section, 0) == 0x02) {
        m_pcrPid = (byteAt(section, 8) & 0x1f) << 8 | byteAt(section, 9);
        const int programInfo = (byteAt(section, 10) & 0x0f) << 8 | byteAt(section, 11);
        for (int i = 12 + programInfo; i + 5 <= end;) {
            const int type = byteAt(section, i);
            if (m_videoPid < 0 && isVideoStreamType(type)) {
                m_videoPid = (byteAt(section, i + 1) & 0x1f) << 8 | byteAt(section, i + 2);
                m_videoStreamType = type;
            }
            i += 5 + ((byteAt(section, i + 3) & 0x0f) << 8 | byteAt(section, i + 4));
        }
    }
}

void TsChecker::collectVideo(const Packet &packet)
{
    if (packet.pid != m_videoPid || !packet.hasPayload)
        return;
    if (packet.unitStart) {
        finishVideoUnit();
        m_videoUnit = packet.payload;
        m_videoUnitRandomAccess = packet.randomAccess;
    } else if (!m_videoUnit.isEmpty()) {
        m_videoUnit.append(packet.payload);
    }
}

void TsChecker::finishVideoUnit()
{
    const QByteArray unit = m_videoUnit;
    m_videoUnit.clear();
    if (unit.size() < 14 || !startCodeAt(unit, 0) || !(byteAt(unit, 7) & 0x80))  // no PTS
        return;
    const qint64 pts = readPts(unit, 9);
    m_videoPts.append(pts);
    // MPEG-4 Visual pictures are not parsed: random_access_indicator is trusted there.
    const bool parsed = m_videoStreamType != 0x10;
    if (parsed ? startsKeyFrame(unit.mid(9 + byteAt(unit, 8))) : m_videoUnitRandomAccess)
        m_keyFramePts.append(pts);
}

// Looks at the access unit's first picture: an IDR slice (H.264), an IRAP
// picture (HEVC) or an I picture (MPEG-1/2).
bool TsChecker::startsKeyFrame(const QByteArray &elementary) const
{
    for (int i = 0; i + 5 < elementary.size(); ++i) {
        if (!startCodeAt(elementary, i))
            continue;
        const int header = byteAt(elementary, i + 3);
        if (m_videoStreamType == 0x1b) {
            const int type = header & 0x1f;
            if (type >= 1 && type <= 5)
                return type == 5;
        } else if (m_videoStreamType == 0x24) {
            const int type = header >> 1 & 0x3f;
            if (type <= 21)
                return type >= 16;
        } else if (header == 0x00) {  // MPEG picture start code
            return (byteAt(elementary, i + 5) >> 3 & 0x07) == 1;
        }
        i += 2;
    }
    return false;
}

double TsChecker::largestKeyFrameSpacingMs() const
{
    if (m_videoPts.isEmpty())
        return 0;
    qint64 largest = 0;
    for (int i = 1; i < m_keyFramePts.size(); ++i)
        largest = std::max(largest, m_keyFramePts[i] - m_keyFramePts[i - 1]);
    const auto [first, last] = std::minmax_element(m_videoPts.begin(), m_videoPts.end());
    const qint64 tailStart = m_keyFramePts.isEmpty() ? *first : m_keyFramePts.last();
    return std::max(largest, *last - tailStart) / 90.0;
}

double TsChecker::largestVideoGapMs() const
{
    QVector<qint64> times = m_videoPts;
    std::sort(times.begin(), times.end());
    qint64 largest = 0;
    for (int i = 1; i < times.size(); ++i)
        largest = std::max(largest, times[i] - times[i - 1]);
    return largest / 90.0;
}

QString TsChecker::summary() const
{
    QStringList cc;
    for (auto it = m_ccErrors.cbegin(); it != m_ccErrors.cend(); ++it)
        cc << QStringLiteral("%1:%2").arg(it.key()).arg(it.value());
    return QStringLiteral("%1 packets, %2 sync errors, %3 trailing bytes, CC errors {%4}, %5 PCRs on PID %6 "
                          "(largest gap %7 ms), %8 pictures on PID %9 (largest gap %10 ms), %11 key frames "
                          "(longest stretch %12 ms)")
        .arg(m_packets).arg(m_syncErrors).arg(m_trailingBytes).arg(cc.join(QLatin1Char(' ')))
        .arg(m_pcrCount).arg(m_pcrPid).arg(largestPcrGapMs(), 0, 'f', 1)
        .arg(m_videoPts.size()).arg(m_videoPid).arg(largestVideoGapMs(), 0, 'f', 1)
        .arg(m_keyFramePts.size()).arg(largestKeyFrameSpacingMs(), 0, 'f', 1);
}
