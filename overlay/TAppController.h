#pragma once
#include <QList>
#include <QObject>
#include <QString>

// One enumerated top-level window.
struct WindowInfo
{
    quint64 handle = 0;
    QString title;
};

// The top-level windows the user can pick for capture, from the window
// manager's client list (_NET_CLIENT_LIST, else the root window's children):
// those shown or iconified that have a title (_NET_WM_NAME, else WM_NAME),
// titles cut to 259 characters. GUI thread only.
class TAppController : public QObject
{
    Q_OBJECT
public:
    enum Direction { Up = 0, Right = 1, Down = 2, Left = 3 };
    Q_ENUM(Direction)

    static constexpr int kTitleLimit = 259;

    explicit TAppController(QObject *parent = nullptr);

    QList<WindowInfo> getWindows();

    // A window the window manager keeps iconified (hidden).
    static bool isIconic(quint64 handle);
    // Maps the window and asks the window manager to activate it.
    static void restore(quint64 handle);

private:
    static QList<WindowInfo> windowList;
};
