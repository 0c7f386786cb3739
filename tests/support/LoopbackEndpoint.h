#pragma once
#include "transport/srt/SrtEndpoint.h"

// An SRT endpoint on 127.0.0.1, as the tests' servers listen there.
inline SrtEndpoint loopbackEndpoint(int port, const QString &streamId, int latencyMs = SrtEndpoint::kLibraryLatency,
                                    const QByteArray &passphrase = QByteArray())
{
    return SrtEndpoint{QStringLiteral("127.0.0.1"), port, streamId, latencyMs, passphrase};
}
