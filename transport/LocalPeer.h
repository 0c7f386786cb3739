#pragma once
#include <QtGlobal>

// Who is at the other end of a loopback TCP connection this process accepted.
// Loopback TCP carries no owner: any user of the machine may connect to a
// listener on 127.0.0.1 (and read its port in /proc/net/tcp). A connection
// this process opened itself has its other end among this process's own file
// descriptors, which no other process can be.
class LocalPeer
{
public:
    // True when the connection on acceptedDescriptor (an accepted IPv4 TCP
    // socket) was made by a socket of this process: one whose local address
    // is the connection's peer address and whose peer is the listener's
    // address. False for anyone else's, and when either is unreadable.
    static bool openedByThisProcess(qintptr acceptedDescriptor);
};
