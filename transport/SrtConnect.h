#pragma once
#include "transport/SrtLibrary.h"

#include <QString>

// Opens a live-mode SRT caller connection to a dotted IPv4 address.
// Returns the empty text on success (the connected socket is in *socket and
// belongs to the caller) or a failure text (then *socket is -1).
QString srtConnect(int *socket, QString host, quint16 port, QString streamId, int peerLatency);

// The dotted IPv4 address to use for host (an address literal is returned as
// it is), or the empty text when the name has no IPv4 address.
QString resolveHost(QString host);
