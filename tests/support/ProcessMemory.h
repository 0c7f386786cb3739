#pragma once
#include <QFile>

// This process's resident memory from /proc/self/status (kB; 0 unreadable),
// and its peak since the start or resetPeakResident() (false where the kernel
// does not allow a reset).
inline qint64 statusFieldKb(const QByteArray &name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}
inline qint64 residentKb() { return statusFieldKb("VmRSS"); }
inline qint64 peakResidentKb() { return statusFieldKb("VmHWM"); }
inline bool resetPeakResident()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}
