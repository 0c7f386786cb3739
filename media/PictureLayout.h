#pragma once

// What the mixer composes, by the numbers it has always been given (and the
// program's links and settings imply): the frame mode it starts with, and
// the layout of a one-picture frame.
namespace Picture {

enum FrameMode : int {
    SingleFrame = 10,  // one picture
    TwoFrames = 20,    // camera and screen side by side, twice as wide
};

enum Layout : int {
    CameraOnly = 10,
    ScreenOnly = 20,
    ScreenWithCamera = 30,  // the camera as an inset
};

} // namespace Picture
