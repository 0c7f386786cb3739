#include "transport/srt/ResolveHost.h"

#include <QHostAddress>
#include <QHostInfo>

QString resolveHost(QString host)
{
    const QHostAddress literal(host);
    if (!literal.isNull())
        return literal.toString();
    const QList<QHostAddress> addresses = QHostInfo::fromName(host).addresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            return address.toString();
    }
    return QHostAddress().toString();
}
