#include "FreePorts.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QUdpSocket>

QList<quint16> freeLoopbackPorts(int count)
{
    QList<quint16> ports;
    for (int attempt = 0; ports.size() < count && attempt < 100; ++attempt) {
        QTcpServer tcp;
        if (!tcp.listen(QHostAddress::LocalHost, 0))
            continue;
        const quint16 port = tcp.serverPort();
        QUdpSocket udp;
        if (!ports.contains(port) && udp.bind(QHostAddress::LocalHost, port))
            ports.append(port);
    }
    return ports;
}

quint16 freeLoopbackPort()
{
    const QList<quint16> ports = freeLoopbackPorts(1);
    return ports.isEmpty() ? 0 : ports.first();
}
