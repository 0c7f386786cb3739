#pragma once
#include <QtGlobal>

// A loopback port number that was free for both TCP and UDP a moment ago.
// Only for where nothing can bind port 0 and say what it got: a port that
// must stay closed (a refused or unanswered connection), a port dialled
// before its server exists, and listener programs that do not report their
// port (ListenerProcess). Everything else binds port 0.
quint16 freeLoopbackPort();

// A TCP socket listening on 127.0.0.1 at a port of the system's choosing,
// written to port; -1 (and port 0) when none could be opened. The caller
// closes it.
int listenOnLoopback(quint16 *port);
