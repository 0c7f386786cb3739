#pragma once
#include <QByteArray>
#include <QString>

// Where one SRT caller connection goes and how it is set up, carried whole
// from the broadcast plan down to the call that connects.
struct SrtEndpoint
{
    // No latency asked for: libsrt's default.
    static constexpr int kLibraryLatency = -1;

    QString host;  // as typed; srtConnect needs a dotted IPv4 address (resolveHost)
    int port = 0;
    QString streamId;
    int latencyMs = kLibraryLatency;
    QByteArray passphrase;  // empty: not encrypted; never logged

    // "host:port", as log lines and messages name the server.
    QString serverText() const;
    // This endpoint at the resolved address.
    SrtEndpoint atAddress(const QString &address) const;
    // The stream ID with one of the program's suffixes ("#control").
    SrtEndpoint withSuffix(const QString &suffix) const;
    SrtEndpoint withLatency(int latencyMs) const;
};
