#pragma once
#include <QByteArray>
#include <QRandomGenerator>

// Changes tests make to MPEG transport streams.

// One null packet (PID 0x1FFF), as the relay sends for stuffing.
inline QByteArray nullPacket()
{
    return QByteArray::fromHex("471fff10") + QByteArray(188 - 4, char(0xFF));
}

// Without the null packets the relay may send before and after the encoder's bytes.
inline QByteArray withoutNullPacketEdges(QByteArray stream)
{
    const QByteArray null = nullPacket();
    while (stream.startsWith(null))
        stream.remove(0, null.size());
    while (stream.endsWith(null))
        stream.chop(null.size());
    return stream;
}

// Only the first `keep` PCRs left; later ones become adaptation-field stuffing.
inline QByteArray keepFirstPcrs(QByteArray stream, int keep)
{
    int seen = 0;
    for (int offset = 0; offset + 188 <= stream.size(); offset += 188) {
        const auto *p = reinterpret_cast<const uchar *>(stream.constData()) + offset;
        const bool carriesPcr = p[0] == 0x47 && (p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10);
        if (!carriesPcr || ++seen <= keep)
            continue;
        stream[offset + 5] = char(uchar(stream[offset + 5]) & ~0x10);
        for (int i = 6; i < 12; ++i)
            stream[offset + i] = char(0xFF);
    }
    return stream;
}

// One packet in `every` broken, alike for one seed: a random payload, a
// random PID or a wrong continuity counter, in turn.
inline QByteArray garbled(QByteArray stream, quint32 seed, int every = 10)
{
    QRandomGenerator random(seed);
    int broken = 0;
    for (int offset = 0; offset + 188 <= stream.size(); offset += 188) {
        if (random.bounded(every) != 0)
            continue;
        auto *p = reinterpret_cast<uchar *>(stream.data()) + offset;
        switch (broken++ % 3) {
        case 0:
            for (int i = 4; i < 188; ++i)
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
