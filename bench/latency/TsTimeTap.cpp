#include "TsTimeTap.h"

namespace {
constexpr int kPacket = 188;
}

void TsTimeTap::feed(const char *data, int size)
{
    m_carry.append(data, size);
    int offset = 0;
    while (m_carry.size() - offset >= kPacket) {
        if (uchar(m_carry[offset]) != 0x47) {
            ++offset;  // lost step: look for the next sync byte
            continue;
        }
        packet(reinterpret_cast<const unsigned char *>(m_carry.constData() + offset));
        offset += kPacket;
    }
    m_carry.remove(0, offset);
}

void TsTimeTap::packet(const unsigned char *p)
{
    if (!(p[1] & 0x40))
        return;  // no payload start
    const int adaptation = (p[3] >> 4) & 3;
    int start = 4;
    if (adaptation & 2)
        start += 1 + p[4];
    if (!(adaptation & 1) || start + 14 > kPacket)
        return;
    const unsigned char *pes = p + start;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || (pes[3] & 0xF0) != 0xE0)
        return;
    if (!(pes[7] & 0x80))
        return;
    const qint64 pts = (qint64(pes[9] >> 1) & 7) << 30 | qint64(pes[10]) << 22 | qint64(pes[11] >> 1) << 15
                     | qint64(pes[12]) << 7 | qint64(pes[13] >> 1);
    m_found(pts);
}
