#pragma once
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

// What the media engine offers on this machine. The engine fills it; this
// library only formats it, so diagnostics stays free of media dependencies.
struct MediaReport
{
    QStringList containers;   // engine order
    QStringList videoCodecs;  // over all containers, duplicates allowed
    QStringList audioCodecs;
    QStringList videoDevices; // device type 0
    QStringList audioDevices; // device type 2
};

using MediaReportProvider = std::function<MediaReport()>;
using ReportPair = QPair<QString, QString>;
using ReportSection = QList<ReportPair>;

// The machine, OS, codec and device report shown in the log viewer.
class SystemReport
{
public:
    // Must be set before the log viewer is built, or the codec and device
    // values stay empty.
    static void setMediaReportProvider(MediaReportProvider provider);

    static QString systemReport();

    static ReportSection machineInfo();
    static ReportSection osInfo();
    static ReportSection codecSection(const MediaReport &media);
    static ReportSection deviceSection(const MediaReport &media);

    // Sections come out sorted by title; each pair is preceded by an empty line.
    static QString format(const QMap<QString, ReportSection> &sections);

    // Frequency in kHz as GHz with two decimals, e.g. 3400000 -> "3.4 GHz".
    static QString frequencyText(quint64 kiloHertz);
    static QString memoryText(quint64 kiloBytes);

    // Maximum processor frequency in kHz: cpufreq, else "cpu MHz"; 0 if unknown.
    static quint64 cpuMaxFrequencyKHz(const QString &cpufreqFile, const QString &cpuinfoFile);
    static quint64 memTotalKB(const QString &meminfoFile);
};
