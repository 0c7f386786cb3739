#include "TsChecker.h"

#include <QFile>
#include <QStringList>
#include <algorithm>

namespace {

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

bool isVideoStreamType(int type)
{
    switch (type) {
    case 0x01:  // MPEG-1 video
    case 0x02:  // MPEG-2 video
    case 0x10:  // MPEG-4 part 2
    case 0x1b:  // H.264
    case 0x24:  // HEVC
        return true;
    default:
        return false;
    }
}

} // namespace

TsChecker::TsChecker(const QByteArray &stream)
{
    parse(stream);
}

TsChecker TsChecker::fromFile(const QString &path)
{
    QFile file(path);
    return TsChecker(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray());
}

void TsChecker::parse(const QByteArray &stream)
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
        Packet packet;
        if (readPacket(stream.constData() + pos, packet)) {
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

// The next offset from which the sync byte repeats every packet (three times,
// or up to the end of the stream); -1 when there is none.
int TsChecker::resync(const QByteArray &stream, int from) const
{
    for (int i = from; i + kPacketSize <= stream.size(); ++i) {
        bool aligned = true;
        for (int at = i; aligned && at < stream.size() && at < i + 3 * kPacketSize; at += kPacketSize)
            aligned = uchar(stream.at(at)) == 0x47;
        if (aligned)
            return i;
    }
    return -1;
}

bool TsChecker::readPacket(const char *bytes, Packet &packet)
{
    const auto *b = reinterpret_cast<const uchar *>(bytes);
    packet.unitStart = b[1] & 0x40;
    packet.pid = (b[1] & 0x1f) << 8 | b[2];
    const int control = b[3] >> 4 & 0x03;
    packet.counter = b[3] & 0x0f;
    if (control == 0)
        return false;  // reserved: a decoder discards the packet
    int payloadStart = 4;
    if (control & 0x02) {
        const int length = b[4];
        if (length > kPacketSize - 5)
            return false;
        payloadStart = 5 + length;
        if (length > 0) {
            const int flags = b[5];
            packet.discontinuity = flags & 0x80;
            packet.randomAccess = flags & 0x40;
            packet.hasPcr = (flags & 0x10) && length >= 7;
            if (packet.hasPcr) {
                const qint64 base = qint64(b[6]) << 25 | qint64(b[7]) << 17 | qint64(b[8]) << 9
                    | qint64(b[9]) << 1 | qint64(b[10] >> 7);
                const int extension = (b[10] & 0x01) << 8 | b[11];
                packet.pcr = base * 300 + extension;
            }
        }
    }
    packet.hasPayload = (control & 0x01) && payloadStart < kPacketSize;
    if (packet.hasPayload)
        packet.payload = QByteArray(bytes + payloadStart, kPacketSize - payloadStart);
    return true;
}

void TsChecker::checkContinuity(const Packet &packet)
{
    if (packet.pid == kNullPid)
        return;
    PidState &state = m_pidStates[packet.pid];
    if (packet.discontinuity)
        state.seen = false;
    // Packets without payload do not advance the counter.
    if (!packet.hasPayload)
        return;
    if (state.seen) {
        const bool sameCounter = packet.counter == state.lastCounter;
        if (sameCounter && !state.duplicateSeen && packet.payload == state.lastPayload) {
            state.duplicateSeen = true;
            return;
        }
        if (packet.counter != ((state.lastCounter + 1) & 0x0f))
            ++m_ccErrors[packet.pid];
    }
    state.seen = true;
    state.lastCounter = packet.counter;
    state.duplicateSeen = false;
    state.lastPayload = packet.payload;
}

int TsChecker::continuityErrors() const
{
    int total = 0;
    for (int errors : m_ccErrors)
        total += errors;
    return total;
}

void TsChecker::checkPcr(const Packet &packet)
{
    if (packet.discontinuity && packet.pid == m_pcrPid)
        m_havePcr = false;
    if (!packet.hasPcr || (m_pcrPid >= 0 && packet.pid != m_pcrPid))
        return;
    ++m_pcrCount;
    if (m_havePcr) {
        qint64 step = packet.pcr - m_lastPcr;
        if (step < 0)
            step += kPcrWrap;
        m_largestPcrGap = std::max(m_largestPcrGap, step);
    }
    m_havePcr = true;
    m_lastPcr = packet.pcr;
}

void TsChecker::readTables(const Packet &packet)
{
    if (!packet.unitStart || !packet.hasPayload || (packet.pid != 0 && packet.pid != m_pmtPid))
        return;
    const int pointer = byteAt(packet.payload, 0);
    const QByteArray section = packet.payload.mid(1 + pointer);
    if (section.size() < 12)
        return;
    if (packet.pid == 0 && byteAt(section, 0) == 0x00)
        readPat(section);
    else if (packet.pid == m_pmtPid && byteAt(section, 0) == 0x02)
        readPmt(section);
}

void TsChecker::readPat(const QByteArray &section)
{
    const int length = (byteAt(section, 1) & 0x0f) << 8 | byteAt(section, 2);
    const int end = std::min(3 + length - 4, int(section.size()));
    for (int i = 8; i + 4 <= end; i += 4) {
        const int program = byteAt(section, i) << 8 | byteAt(section, i + 1);
        if (program != 0) {
            m_pmtPid = (byteAt(section, i + 2) & 0x1f) << 8 | byteAt(section, i + 3);
            return;
        }
    }
}

void TsChecker::readPmt(const QByteArray &section)
{
    const int length = (byteAt(section, 1) & 0x0f) << 8 | byteAt(section, 2);
    const int end = std::min(3 + length - 4, int(section.size()));
    m_pcrPid = (byteAt(section, 8) & 0x1f) << 8 | byteAt(section, 9);
    const int programInfo = (byteAt(section, 10) & 0x0f) << 8 | byteAt(section, 11);
    for (int i = 12 + programInfo; i + 5 <= end;) {
        const int type = byteAt(section, i);
        const int pid = (byteAt(section, i + 1) & 0x1f) << 8 | byteAt(section, i + 2);
        const int info = (byteAt(section, i + 3) & 0x0f) << 8 | byteAt(section, i + 4);
        if (m_videoPid < 0 && isVideoStreamType(type)) {
            m_videoPid = pid;
            m_videoStreamType = type;
        }
        i += 5 + info;
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
    if (unit.size() < 14 || !startCodeAt(unit, 0))
        return;
    const bool hasPts = byteAt(unit, 7) & 0x80;
    if (!hasPts)
        return;
    const qint64 pts = readPts(unit, 9);
    m_videoPts.append(pts);
    const QByteArray elementary = unit.mid(9 + byteAt(unit, 8));
    if (parsesPictureTypes() ? startsKeyFrame(elementary) : m_videoUnitRandomAccess)
        m_keyFramePts.append(pts);
}

bool TsChecker::parsesPictureTypes() const
{
    return m_videoStreamType == 0x01 || m_videoStreamType == 0x02 || m_videoStreamType == 0x1b
        || m_videoStreamType == 0x24;
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
    const qint64 lastPicture = *std::max_element(m_videoPts.begin(), m_videoPts.end());
    const qint64 firstPicture = *std::min_element(m_videoPts.begin(), m_videoPts.end());
    const qint64 tailStart = m_keyFramePts.isEmpty() ? firstPicture : m_keyFramePts.last();
    largest = std::max(largest, lastPicture - tailStart);
    return largest / 90.0;
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
