#pragma once
#include <QObject>

class NumberLookup;
class QLineEdit;
class QPushButton;
class QSettings;
class QWidget;

// The simple form: a nine-digit number and its Start button. A request
// keeps the number in the settings and locks the form until the lookup
// service has answered; a good answer comes out as a link.
class NumberForm : public QObject
{
    Q_OBJECT
public:
    // The window (parent of the error boxes), the number field, its Start
    // button and the form switch, locked while a request runs.
    struct Widgets
    {
        QWidget *window;
        QLineEdit *numberEdit;
        QPushButton *startBtn_1;
        QWidget *modeLbl;
    };

    // Puts the stored number into the field.
    NumberForm(const Widgets &widgets, QSettings *settings, QObject *parent = nullptr);

    // Looks the field's number up (an invalid one only gets its error box).
    void request();
    // The answer came, whatever it was: the form is usable again.
    void unlock();

signals:
    void replyFinished();
    void linkReceived(const QString &url);

private:
    Widgets m_ui;
    QSettings *m_settings;
    NumberLookup *m_lookup;
};
