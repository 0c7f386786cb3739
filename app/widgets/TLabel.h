#pragma once
#include <QLabel>

// A label that reports left-button clicks; used for the preview frames and the
// form switch.
class TLabel : public QLabel
{
    Q_OBJECT
public:
    explicit TLabel(QWidget *parent = nullptr);

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
};
