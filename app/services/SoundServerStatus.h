#pragma once
#include <QLabel>
#include <QTimer>

class QStatusBar;

// The sound server's state on the status line, beside the broadcast's own
// (which stays in view): while a recording or playing stream has lost the
// server, "Sound server lost — reconnecting"; once all are back, "Sound is
// back" for a few seconds. Both are logged.
class SoundServerStatus : public QLabel
{
    Q_OBJECT
public:
    static const char *const kLostText;
    static const char *const kBackText;
    static constexpr int kBackShownMs = 5000;

    explicit SoundServerStatus(QStatusBar *bar);

private:
    void showLost();
    void showBack();

    QTimer m_hide;
};
