#pragma once
#include <QByteArray>

// Changes tests make to MPEG transport streams.

// One null packet (PID 0x1FFF), as the relay sends for stuffing.
QByteArray nullPacket();
// The stream without the null packets the relay may send ahead of the
// encoder's first byte and behind its last one.
QByteArray withoutNullPacketEdges(QByteArray stream);
// The stream with its first `keep` program clock references only; the later
// ones are overwritten with stuffing inside their adaptation fields.
QByteArray keepFirstPcrs(QByteArray stream, int keep);
// The stream with one packet in `every` broken, the same way for the same
// seed: a random payload, a random PID or a wrong continuity counter, in turn.
QByteArray garbled(QByteArray stream, quint32 seed, int every = 10);
