#pragma once

class QWidget;

// Where the X server has a top-level window, against where Qt has it. The
// window manager places a new window before it maps it, but the news may
// reach Qt only after the window is exposed.
class ServerGeometry
{
public:
    // True when the server has the window's top-left corner where Qt's
    // geometry (in the screen's device pixels) says; true without X.
    static bool agrees(const QWidget *window);
};
