#pragma once
#include <QDialog>

#include "diagnostics/SystemReport.h"

#include <memory>

namespace Ui {
class LogsDlg;
}

// Top-level "Logs" window: shows the system report taken once at start.
// The running log goes to the debug stream only (logLine).
class LogsDlg : public QDialog
{
    Q_OBJECT
public:
    explicit LogsDlg(QWidget *parent = nullptr);
    ~LogsDlg() override;

    // The codec and device sections of the system report, from the media
    // engine and the mixer's device lists.
    static MediaReport collectMediaReport();

    // The shared log operation; producers call it on the viewer they were given.
    void logLine(const QString &message) const;

private slots:
    void on_pushButton_clicked();

private:
    std::unique_ptr<Ui::LogsDlg> ui;
};
