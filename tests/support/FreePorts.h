#pragma once
#include <QtGlobal>

// A loopback port free for TCP and UDP a moment ago, only where nothing can
// bind port 0 and say what it got (a port that must stay closed, one dialled
// before its server exists, programs that do not report their port).
quint16 freeLoopbackPort();

// A TCP socket listening on 127.0.0.1 at a port of the system's choosing,
// written to port; -1 (port 0) when none could be opened. The caller closes it.
int listenOnLoopback(quint16 *port);
