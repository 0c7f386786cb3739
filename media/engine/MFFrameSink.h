#pragma once
#include "media/engine/MFFrame.h"

namespace mf {

// Anything frames can be handed to: the preview, the writer.
// A result below 0 is a failure; 0 or above is success.
class MFFrameSink
{
public:
    virtual ~MFFrameSink() = default;
    virtual int put(const MFFramePtr &frame, int timeoutMs) = 0;
};

} // namespace mf
