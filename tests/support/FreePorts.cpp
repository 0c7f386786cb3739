#include "FreePorts.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QUdpSocket>

quint16 freeLoopbackPort()
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
