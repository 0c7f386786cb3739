#pragma once
#include <QWidget>

#include <memory>

namespace Ui {
class ResizeWidget;
}

// The 16 x 16 magenta handle at the frame's bottom-right corner. Dragging it
// reports the mouse's position inside the handle, which is how far the frame
// should grow, and the release ends the resize.
class ResizeWidget : public QWidget
{
    Q_OBJECT
public:
    explicit ResizeWidget(QWidget *parent = nullptr);
    ~ResizeWidget() override;

    bool locked = false;
    bool isPressed() const { return pressed; }

signals:
    void resizeFinished();
    void click(bool pressed);
    void mouseMove(QPoint pos);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    std::unique_ptr<Ui::ResizeWidget> ui;
    bool pressed = false;
};
