#pragma once
#include <QColor>
#include <QPalette>
#include <QRect>
#include <QWidget>

// A frameless top-level window filled with one colour, shown at a known place
// (no window manager runs under Xvfb, so the geometry is exactly as asked).
// The caller owns it.
inline QWidget *paintedWindow(const QRect &geometry, const QColor &color)
{
    auto *w = new QWidget(nullptr, Qt::FramelessWindowHint);
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, color);
    w->setPalette(pal);
    w->setAutoFillBackground(true);
    w->setGeometry(geometry);
    w->show();
    return w;
}
