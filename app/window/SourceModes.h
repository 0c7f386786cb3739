#pragma once
#include "media/PictureLayout.h"

class Mixer;
class QCheckBox;
class QKeyEvent;
class QPushButton;
class QRadioButton;
class QWidget;
class WCapture;

// What the picture shows: camera, screen or both (the radio buttons and
// Ctrl+1/2/3), and the two-frames mode's effect on the controls. The screen
// and crop buttons are usable only while the screen is part of the picture.
class SourceModes
{
public:
    // The radio buttons with their frames, the buttons they enable and the
    // two-frames box (only read).
    struct Widgets
    {
        QWidget *sourceFrame;
        QWidget *radioGroup;
        QRadioButton *rbCamera;
        QRadioButton *rbScreen;
        QRadioButton *rbMix;
        QPushButton *screenBtn;
        QPushButton *cropBtn;
        QCheckBox *chkCombined;
    };

    SourceModes(const Widgets &widgets, Mixer *mixer, WCapture *captureFrame);

    // A radio button was chosen: the controls and the mixer's layout follow.
    void choose(Picture::Layout layout);
    // Ctrl+1, Ctrl+2, Ctrl+3 outside two-frames mode check and choose a
    // radio button; true when the key was one of them.
    bool handleKey(const QKeyEvent *event);
    // The two-frames box changed (0: unchecked).
    void twoFramesChanged(int state);
    // The radio group is for one picture only.
    void showForTwoFrames(bool twoFrames);

private:
    void enableScreenButtons(bool usable);

    Widgets m_ui;
    Mixer *m_mixer;
    WCapture *m_captureFrame;
};
