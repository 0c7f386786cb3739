#pragma once
#include <QDialog>

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

    // The shared log operation; producers call it on the viewer they were given.
    void logLine(const QString &message) const;

private slots:
    void on_pushButton_clicked();

private:
    std::unique_ptr<Ui::LogsDlg> ui;
};
