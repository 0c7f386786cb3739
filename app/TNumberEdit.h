#pragma once
#include <QLineEdit>

// The nine-digit number field of the simple form (input mask "999-999-999").
class TNumberEdit : public QLineEdit
{
    Q_OBJECT
public:
    explicit TNumberEdit(QWidget *parent = nullptr);

protected:
    void keyReleaseEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
};
