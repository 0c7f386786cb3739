#pragma once
#include <QLineEdit>

// The nine-digit number field of the simple form (input mask "999-999-999").
class TNumberEdit : public QLineEdit
{
    Q_OBJECT
public:
    explicit TNumberEdit(QWidget *parent = nullptr);

signals:
    // Return or Enter, also while the number is incomplete (returnPressed
    // stays silent then, because of the input mask).
    void enterPressed();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
};
