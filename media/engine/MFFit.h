#pragma once
#include <QRectF>
#include <QSize>

namespace mf {

// Where a picture of srcW x srcH goes inside an area of w x h when it is
// scaled to fit with its aspect ratio kept and centred (single precision, as
// the placements of the mixer and the screen source are computed).
class MFFit
{
public:
    static QRectF placement(int srcW, int srcH, int w, int h);
};

} // namespace mf
