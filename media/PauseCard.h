#pragma once
#include "media/engine/MFFrame.h"

#include <QSize>

// What stands in for the screen while the user has paused it: a still card
// in the background colour saying so. Made once per size and shared, so a
// paused screen costs the mixer nothing per picture.
class PauseCard
{
public:
    static const char *const kText;

    // The card at this size; a copy, which shares its picture.
    mf::MFFramePtr frame(const QSize &size);

private:
    static mf::MFFramePtr paint(const QSize &size);

    mf::MFFramePtr m_card;
};
