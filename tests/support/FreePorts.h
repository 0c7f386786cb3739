#pragma once
#include <QHostAddress>
#include <QTcpServer>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

// A loopback port free for TCP and UDP a moment ago, only where nothing can
// bind port 0 and say what it got (a port that must stay closed, one dialled
// before its server exists, programs that do not report their port).
inline quint16 freeLoopbackPort()
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        QTcpServer tcp;
        if (!tcp.listen(QHostAddress::LocalHost, 0))
            continue;
        QUdpSocket udp;
        if (udp.bind(QHostAddress::LocalHost, tcp.serverPort()))
            return tcp.serverPort();
    }
    return 0;
}

// A TCP socket listening on 127.0.0.1 at a port of the system's choosing,
// written to port; -1 (port 0) when none could be opened. The caller closes it.
inline int listenOnLoopback(quint16 *port)
{
    *port = 0;
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0
        || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
        ::close(listener);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return listener;
}
