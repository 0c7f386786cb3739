#pragma once

class QWidget;

// Keeps one top-level window above another through the window manager:
// WM_TRANSIENT_FOR names the owner, and the manager stacks the window in the
// owner's layer (stay-on-top included) and above it. Qt writes the property
// only for dialogs, tool windows and the like; a plain window without a Qt
// parent gets it here, without changing its flags or its ownership.
class WindowStacking
{
public:
    // Both must be shown: Qt clears nothing, but a window manager reads the
    // property of mapped windows as it changes.
    static void keepAbove(QWidget *window, QWidget *owner);
};
