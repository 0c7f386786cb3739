#pragma once
#include <QObject>
#include <QStringList>
#include <QTimer>

class QMessageBox;

// Finds the next visible message box among the top-level widgets, records it
// and answers it: clicks the button with the given text, or closes the box.
class BoxWatcher : public QObject
{
    Q_OBJECT
public:
    explicit BoxWatcher(QString buttonToClick = QString());
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
    void poll();

    QString buttonToClick;
    QTimer timer;
};
