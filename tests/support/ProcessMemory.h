#pragma once
#include <QtGlobal>

// The resident memory of this process, from /proc/self/status (kB); 0 when
// it cannot be read.
qint64 residentKb();
// The largest resident size since the start or the last resetPeakResident().
qint64 peakResidentKb();
// Starts a new peak from the current size (false where the kernel does not
// allow it: the peak then counts from the start).
bool resetPeakResident();
