#include "TsEdits.h"

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
