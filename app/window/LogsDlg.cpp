#include "app/window/LogsDlg.h"

#include "ui_LogsDlg.h"

#include "diagnostics/LogFile.h"
#include "diagnostics/LogLine.h"
#include "diagnostics/SystemReport.h"
#include "media/Mixer.h"
#include "media/engine/MFCatalog.h"

LogsDlg::LogsDlg(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::LogsDlg>())
{
    ui->setupUi(this);
    setWindowFlags(Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    ui->plainTextEdit->appendPlainText("--- System Info ---");
    ui->plainTextEdit->appendPlainText(SystemReport::systemReport());
    const QString logPath = LogFile::path();
    if (!logPath.isEmpty()) {
        ui->plainTextEdit->appendPlainText(QStringLiteral("--- Session log ---"));
        ui->plainTextEdit->appendPlainText(QStringLiteral("The running log of this session is written to ") + logPath
                                           + QStringLiteral(" (the one before as ") + logPath + QStringLiteral(".1)."));
    }
}

LogsDlg::~LogsDlg() = default;

MediaReport LogsDlg::collectMediaReport()
{
    MediaReport report;
    report.containers = mf::MFCatalog::containers();
    for (const QString &container : qAsConst(report.containers)) {
        report.videoCodecs += mf::MFCatalog::videoCodecs(container);
        report.audioCodecs += mf::MFCatalog::audioCodecs(container);
    }
    Mixer::enumerateDevices(QStringLiteral("VIDEO"), report.videoDevices);
    Mixer::enumerateDevices(QStringLiteral("AUDIO"), report.audioDevices);
    return report;
}


void LogsDlg::logLine(const QString &message) const
{
    ::logLine(message);
}

void LogsDlg::on_pushButton_clicked()
{
    close();
}
