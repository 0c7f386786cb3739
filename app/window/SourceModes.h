#pragma once
#include "media/PictureLayout.h"

class Mixer;
class QKeyEvent;
class WCapture;

namespace Ui {
class MainWindow;
}

// What the picture shows: camera, screen or both (the radio buttons and
// Ctrl+1/2/3), and the two-frames mode's effect on the controls. The screen
// and crop buttons are usable only while the screen is part of the picture.
class SourceModes
{
public:
    SourceModes(Ui::MainWindow *ui, Mixer *mixer, WCapture *captureFrame);

    // A radio button was chosen: the controls and the mixer's layout follow.
    void choose(Picture::Layout layout);
    // Ctrl+1, Ctrl+2, Ctrl+3 outside two-frames mode check and choose a
    // radio button; true when the key was one of them.
    bool handleKey(const QKeyEvent *event);
    // The two-frames box changed (0: unchecked).
    void twoFramesChanged(int state);

private:
    void enableScreenButtons(bool usable);

    Ui::MainWindow *m_ui;
    Mixer *m_mixer;
    WCapture *m_captureFrame;
};
