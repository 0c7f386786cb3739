#pragma once
#include "media/engine/MFFrame.h"

// A frame of a moving picture with noise (so encoders need the bit rate) and
// 1764 samples of a 440 Hz stereo tone (one 25 fps frame at 44100 Hz); index
// is the frame's number, which the picture shows.
mf::MFFramePtr patternFrame(int width, int height, int index);
