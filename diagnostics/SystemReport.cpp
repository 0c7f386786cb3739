#include "diagnostics/SystemReport.h"

#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>

#include <cmath>
#include <unistd.h>

namespace {

MediaReportProvider &mediaProvider()
{
    static MediaReportProvider provider;
    return provider;
}

QStringList distinct(const QStringList &names)
{
    QStringList result;
    for (const QString &name : names) {
        if (!result.contains(name))
            result << name;
    }
    return result;
}

QString quotedList(const QStringList &names)
{
    QStringList quoted;
    for (const QString &name : names)
        quoted << '"' + name + '"';
    return quoted.join(", ");
}

QString hundredths(quint64 value, const char *unit)
{
    const double rounded = std::round(value / 10000.0) / 100.0;
    return QString::number(rounded, 'g', 6) + unit;
}

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // /proc files report size 0, so read until the end rather than by size.
    return file.readAll();
}

} // namespace

void SystemReport::setMediaReportProvider(MediaReportProvider provider)
{
    mediaProvider() = std::move(provider);
}

QString SystemReport::systemReport()
{
    const MediaReport media = mediaProvider() ? mediaProvider()() : MediaReport{};
    QMap<QString, ReportSection> sections;
    sections.insert("Machine info", machineInfo());
    sections.insert("OS info", osInfo());
    sections.insert("Codecs and cointainers", codecSection(media));
    sections.insert("Connected multimedia devices", deviceSection(media));
    return format(sections);
}

ReportSection SystemReport::machineInfo()
{
    const long processors = sysconf(_SC_NPROCESSORS_ONLN);
    const quint64 frequency = cpuMaxFrequencyKHz(
        "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "/proc/cpuinfo");
    return {
        {"CPU Architecture", QSysInfo::currentCpuArchitecture()},
        {"CPU Frequency", frequencyText(frequency)},
        {"CPU and/or core count", QString::number(processors > 0 ? processors : 0)},
        {"RAM size", memoryText(memTotalKB("/proc/meminfo"))},
    };
}

ReportSection SystemReport::osInfo()
{
    return {
        {"OS", QSysInfo::prettyProductName()},
        {"Kernel type", QSysInfo::kernelType()},
        {"Kernel version", QSysInfo::kernelVersion()},
        {"Host name", QSysInfo::machineHostName()},
    };
}

ReportSection SystemReport::codecSection(const MediaReport &media)
{
    return {
        {"Containers", media.containers.join(' ')},
        {"Video codecs", distinct(media.videoCodecs).join(' ')},
        {"Audio codecs", distinct(media.audioCodecs).join(' ')},
    };
}

ReportSection SystemReport::deviceSection(const MediaReport &media)
{
    return {
        {"Video devices", quotedList(media.videoDevices)},
        {"Audio devices", quotedList(media.audioDevices)},
    };
}

QString SystemReport::format(const QMap<QString, ReportSection> &sections)
{
    QString text;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        text += it.key() + ":\n";
        for (const ReportPair &pair : it.value())
            text += "\n" + pair.first + ":\t" + pair.second + "\n";
    }
    return text;
}

QString SystemReport::frequencyText(quint64 kiloHertz)
{
    return hundredths(kiloHertz, " GHz");
}

QString SystemReport::memoryText(quint64 kiloBytes)
{
    return hundredths(kiloBytes, " Gb");
}

quint64 SystemReport::cpuMaxFrequencyKHz(const QString &cpufreqFile, const QString &cpuinfoFile)
{
    bool ok = false;
    const quint64 fromCpufreq = readSmallFile(cpufreqFile).trimmed().toULongLong(&ok);
    if (ok && fromCpufreq > 0)
        return fromCpufreq;

    static const QRegularExpression mhzLine(QStringLiteral("^cpu MHz\\s*:\\s*([0-9.]+)"),
                                            QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = mhzLine.match(QString::fromLatin1(readSmallFile(cpuinfoFile)));
    if (!match.hasMatch())
        return 0;
    const double mhz = match.captured(1).toDouble(&ok);
    return ok ? quint64(std::llround(mhz * 1000.0)) : 0;
}

quint64 SystemReport::memTotalKB(const QString &meminfoFile)
{
    static const QRegularExpression totalLine(QStringLiteral("^MemTotal:\\s*(\\d+)\\s*kB"),
                                              QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = totalLine.match(QString::fromLatin1(readSmallFile(meminfoFile)));
    return match.hasMatch() ? match.captured(1).toULongLong() : 0;
}
