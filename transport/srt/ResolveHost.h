#pragma once
#include <QString>

// The dotted IPv4 address to use for host (an address literal, IPv6 included,
// is returned as it is), or the empty text when the name has no IPv4 address.
// Blocks the calling thread for a name lookup; safe from any thread.
QString resolveHost(QString host);
