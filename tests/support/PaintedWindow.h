#pragma once
#include <QColor>
#include <QPalette>
#include <QRect>
#include <QWidget>

// A frameless window of one colour, owned by the caller, exactly where asked
// (no window manager runs under Xvfb).
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
