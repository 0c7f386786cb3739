#pragma once
#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Whole-machine processor load from the aggregate "cpu" line of /proc/stat,
// measured between two successive updates.
class CpuLoad
{
public:
    struct Times
    {
        quint64 idle = 0;  // idle + iowait
        quint64 total = 0; // every busy and idle field, guests already in user
    };

    explicit CpuLoad(QString statPath = QStringLiteral("/proc/stat"));

    // Reads the stat file and returns the label text, e.g. "CPU: 37%".
    QString update();

    // Load in 0..1 against the previous sample, which it then replaces.
    // With no time elapsed the load reads as 1.
    float loadSince(const Times &now);

    static bool parseProcStat(const QByteArray &content, Times *times);
    // A negative load (failed read) shows as "CPU: -100%".
    static QString labelText(float load);

private:
    QString statPath;
    Times previous;
};
