#pragma once
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

// Finds the next visible message box among the top-level widgets, records it
// and answers it: clicks the button with the given text, or closes the box.
class BoxWatcher : public QObject
{
    Q_OBJECT
public:
    explicit BoxWatcher(QString buttonToClick = QString()) : buttonToClick(std::move(buttonToClick))
    {
        timer.setInterval(10);
        connect(&timer, &QTimer::timeout, this, &BoxWatcher::poll);
        timer.start();
    }
    void stop() { timer.stop(); }

    bool seen = false;
    QString title;
    QString text;
    int textFormat = -1;
    int icon = 0;
    QStringList buttons;
    int standardButtons = 0;
    QString defaultButton;
    QWidget *parent = nullptr;

private:
    void poll()
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
            if (box->defaultButton())
                defaultButton = box->defaultButton()->text();
            QAbstractButton *answer = nullptr;
            for (QAbstractButton *button : box->buttons()) {
                buttons << button->text();
                if (!answer && !buttonToClick.isEmpty() && button->text() == buttonToClick)
                    answer = button;
            }
            answer ? answer->click() : void(box->close());
            return;
        }
    }

    QString buttonToClick;
    QTimer timer;
};
