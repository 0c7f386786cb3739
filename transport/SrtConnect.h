#pragma once
#include "transport/srt/ResolveHost.h"

#include <QString>

// Opens a live-mode SRT caller connection to a dotted IPv4 address, the way
// every connection the program opens itself is set up (resolveHost turns a
// host name into such an address first). Returns the empty text on success
// (the connected socket is in *socket and belongs to the caller) or a failure
// text (then *socket is -1).
QString srtConnect(int *socket, QString host, quint16 port, QString streamId, int peerLatency);
