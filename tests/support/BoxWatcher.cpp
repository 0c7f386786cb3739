#include "tests/support/BoxWatcher.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

BoxWatcher::BoxWatcher(QString buttonToClick)
    : buttonToClick(std::move(buttonToClick))
{
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, &BoxWatcher::poll);
    timer.start();
}

void BoxWatcher::poll()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *box = qobject_cast<QMessageBox *>(widget);
        if (!box || !box->isVisible())
            continue;
        timer.stop();
        seen = true;
        title = box->windowTitle();
        text = box->text();
        textFormat = int(box->textFormat());
        icon = box->icon();
        parent = box->parentWidget();
        standardButtons = int(box->standardButtons());
        for (QAbstractButton *button : box->buttons())
            buttons << button->text();
        if (box->defaultButton())
            defaultButton = box->defaultButton()->text();
        for (QAbstractButton *button : box->buttons()) {
            if (!buttonToClick.isEmpty() && button->text() == buttonToClick) {
                button->click();
                return;
            }
        }
        box->close();
        return;
    }
}
