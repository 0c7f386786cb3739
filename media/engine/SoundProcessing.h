#pragma once

namespace mf {

// What is done to recorded sound before it goes out: the echo of the
// program's own playing taken out, steady noise suppressed.
struct SoundProcessing
{
    bool echoCancellation = true;
    bool noiseSuppression = true;

    bool any() const { return echoCancellation || noiseSuppression; }
    bool operator==(const SoundProcessing &other) const
    {
        return echoCancellation == other.echoCancellation && noiseSuppression == other.noiseSuppression;
    }
    bool operator!=(const SoundProcessing &other) const { return !(*this == other); }
};

} // namespace mf
