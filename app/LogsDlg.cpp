#include "app/LogsDlg.h"

#include "diagnostics/LogLine.h"
#include "diagnostics/SystemReport.h"

#include <QGridLayout>
#include <QPlainTextEdit>
#include <QPushButton>

LogsDlg::LogsDlg(QWidget *parent)
    : QDialog(parent)
{
    setupUi();
    setWindowFlags(Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    plainTextEdit->appendPlainText("--- System Info ---");
    plainTextEdit->appendPlainText(SystemReport::systemReport());
}

void LogsDlg::logLine(const QString &message) const
{
    ::logLine(message);
}

void LogsDlg::on_pushButton_clicked()
{
    close();
}

void LogsDlg::setupUi()
{
    setObjectName("LogsDlg");
    resize(608, 365);
    setWindowTitle("Logs");

    gridLayout = new QGridLayout(this);
    gridLayout->setObjectName("gridLayout");

    plainTextEdit = new QPlainTextEdit(this);
    plainTextEdit->setObjectName("plainTextEdit");
    gridLayout->addWidget(plainTextEdit, 0, 0);

    pushButton = new QPushButton("Close", this);
    pushButton->setObjectName("pushButton");
    pushButton->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    gridLayout->addWidget(pushButton, 1, 0);

    QMetaObject::connectSlotsByName(this);
}
