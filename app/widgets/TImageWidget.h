#pragma once
#include <QWidget>

// The connection page: paints the background picture, scaled to cover the
// whole widget and cut at the right or bottom edge.
class TImageWidget : public QWidget
{
    Q_OBJECT
public:
    explicit TImageWidget(QWidget *parent = nullptr);

protected:
    void paintEvent(QPaintEvent *event) override;
};
