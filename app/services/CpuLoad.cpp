#include "app/services/CpuLoad.h"

#include <QFile>
#include <QList>

CpuLoad::CpuLoad(QString statPath)
    : statPath(std::move(statPath))
{
}

QString CpuLoad::update()
{
    QFile file(statPath);
    Times now;
    // /proc files report size 0; readAll reads until the end anyway.
    if (!file.open(QIODevice::ReadOnly) || !parseProcStat(file.readAll(), &now))
        return labelText(-1.0f);
    return labelText(loadSince(now));
}

float CpuLoad::loadSince(const Times &now)
{
    const quint64 idleDiff = now.idle - previous.idle;
    const quint64 totalDiff = now.total - previous.total;
    const float ratio = totalDiff == 0 ? 0.0f : float(idleDiff) / float(totalDiff);
    previous = now;
    return 1.0f - ratio;
}

bool CpuLoad::parseProcStat(const QByteArray &content, Times *times)
{
    const QByteArray firstLine = content.left(content.indexOf('\n'));
    const QList<QByteArray> fields = firstLine.simplified().split(' ');
    // cpu user nice system idle [iowait irq softirq steal guest guest_nice]
    if (fields.size() < 5 || fields.at(0) != "cpu")
        return false;
    QList<quint64> values;
    for (int i = 1; i < fields.size(); ++i) {
        bool ok = false;
        values << fields.at(i).toULongLong(&ok);
        if (!ok)
            return false;
    }
    const int iowait = 4, guest = 8;
    Times result;
    result.idle = values.at(3) + (values.size() > iowait ? values.at(iowait) : 0);
    for (int i = 0; i < values.size() && i < guest; ++i)
        result.total += values.at(i);
    *times = result;
    return true;
}

QString CpuLoad::labelText(float load)
{
    return "CPU: " + QString::number(load * 100.0, 'f', 0) + "%";
}
