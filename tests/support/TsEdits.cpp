#include "TsEdits.h"

#include <QRandomGenerator>

namespace {
constexpr int kPacketSize = 188;

bool carriesPcr(const QByteArray &stream, int offset)
{
    const auto *p = reinterpret_cast<const uchar *>(stream.constData()) + offset;
    return p[0] == 0x47 && (p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10);
}
}

QByteArray nullPacket()
{
    return QByteArray::fromHex("471fff10") + QByteArray(kPacketSize - 4, char(0xFF));
}

QByteArray withoutNullPacketEdges(QByteArray stream)
{
    const QByteArray null = nullPacket();
    while (stream.startsWith(null))
        stream.remove(0, kPacketSize);
    while (stream.endsWith(null))
        stream.chop(kPacketSize);
    return stream;
}

QByteArray keepFirstPcrs(QByteArray stream, int keep)
{
    int seen = 0;
    for (int offset = 0; offset + kPacketSize <= stream.size(); offset += kPacketSize) {
        if (!carriesPcr(stream, offset) || ++seen <= keep)
            continue;
        stream[offset + 5] = char(uchar(stream[offset + 5]) & ~0x10);
        for (int i = 6; i < 12; ++i)
            stream[offset + i] = char(0xFF);
    }
    return stream;
}

QByteArray garbled(QByteArray stream, quint32 seed, int every)
{
    QRandomGenerator random(seed);
    int broken = 0;
    for (int offset = 0; offset + kPacketSize <= stream.size(); offset += kPacketSize) {
        if (random.bounded(every) != 0)
            continue;
        auto *p = reinterpret_cast<uchar *>(stream.data()) + offset;
        switch (broken++ % 3) {
        case 0:
            for (int i = 4; i < kPacketSize; ++i)
                p[i] = uchar(random.bounded(256));
            break;
        case 1:
            p[1] = uchar((p[1] & 0xE0) | random.bounded(0x20));
            p[2] = uchar(random.bounded(256));
            break;
        default:
            p[3] = uchar((p[3] & 0xF0) | ((p[3] + 1 + random.bounded(14)) & 0x0F));
            break;
        }
    }
    return stream;
}
