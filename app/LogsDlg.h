#pragma once
#include <QDialog>

class QGridLayout;
class QPlainTextEdit;
class QPushButton;

// Top-level "Logs" window: shows the system report taken once at start.
// The running log goes to the debug stream only (logLine).
class LogsDlg : public QDialog
{
    Q_OBJECT
public:
    explicit LogsDlg(QWidget *parent = nullptr);

    // The shared log operation; producers call it on the viewer they were given.
    void logLine(const QString &message) const;

    QPlainTextEdit *textEdit() const { return plainTextEdit; }

private slots:
    void on_pushButton_clicked();

private:
    void setupUi();

    QGridLayout *gridLayout = nullptr;
    QPlainTextEdit *plainTextEdit = nullptr;
    QPushButton *pushButton = nullptr;
};
