#pragma once
#include <QList>
#include <QtGlobal>

// Loopback port numbers that were free for both TCP and UDP a moment ago
// (SRT uses UDP, HTTP and the relay TCP). Distinct within one call.
QList<quint16> freeLoopbackPorts(int count);
quint16 freeLoopbackPort();
