#include "media/engine/MFPortalSource.h"

#include <QPainter>

#include <cmath>

namespace mf {

MFPortalSource::MFPortalSource(const MFPortalSettings &settings)
    : m_settings(settings), m_cast(MFScreenCast::instance())
{
    // A frame moved over the same monitor keeps the session; a choice in
    // the menu, a window instead of a monitor, or a session gone asks anew.
    if (m_settings.newChoice || !m_cast->busy() || m_cast->chosenType() != m_settings.sourceType)
        m_cast->choose(m_settings.sourceType);
    m_clock.start();
}

MFPortalSource::~MFPortalSource() = default;

QRect MFPortalSource::areaInPicture(const QRect &area, const QPoint &streamPos, const QSize &streamSize,
                                    const QSize &pictureSize)
{
    const QRect whole(QPoint(0, 0), pictureSize);
    if (area.isEmpty() || pictureSize.isEmpty())
        return whole;
    const QSize desk = streamSize.isEmpty() ? pictureSize : streamSize;
    // The stream may be scaled against desktop coordinates (HiDPI outputs).
    const double sx = double(pictureSize.width()) / desk.width();
    const double sy = double(pictureSize.height()) / desk.height();
    const QRect local = area.translated(-streamPos);
    const QRect pixels(QPoint(int(std::lround(local.left() * sx)), int(std::lround(local.top() * sy))),
                       QSize(int(std::lround(local.width() * sx)), int(std::lround(local.height() * sy))));
    const QRect cut = pixels & whole;
    return cut.isEmpty() ? whole : cut;
}

void MFPortalSource::waitForTick()
{
    const qint64 interval = qMax<qint64>(1, qint64(std::lround(1000.0 / (m_settings.fps > 0 ? m_settings.fps : 25))));
    const qint64 now = m_clock.elapsed();
    if (m_nextTickMs == 0 || now - m_nextTickMs > interval)
        m_nextTickMs = now; // first read, or the caller fell behind: no catching up
    if (now < m_nextTickMs)
        m_interrupted.waitFor(std::chrono::milliseconds(m_nextTickMs - now));
    m_nextTickMs += interval;
}

MFFramePtr MFPortalSource::read(const QSize &target)
{
    waitForTick();
    const MFScreenCast::View view = m_cast->latest();
    QImage picture = view.picture.image;
    if (picture.isNull())
        return nullptr;
    if (m_settings.drawCursor && view.picture.cursorVisible && !view.picture.cursor.isNull()) {
        QPainter painter(&picture); // detaches from the stream's copy
        painter.drawImage(view.picture.cursorPos, view.picture.cursor);
    }
    const QRect cut = areaInPicture(m_settings.area, view.position, view.size, picture.size());
    const uchar *planes[4] = {picture.constBits() + cut.y() * picture.bytesPerLine() + cut.x() * 4, nullptr, nullptr,
                              nullptr};
    const int strides[4] = {int(picture.bytesPerLine()), 0, 0, 0};
    const QSize size = target.isEmpty() ? m_settings.frameSize : target;
    MFFramePtr frame = m_converter.convert(planes, strides, AV_PIX_FMT_BGR0, cut.width(), cut.height(), size,
                                           m_settings.backgroundArgb);
    if (frame)
        frame->setTimestampUs(view.picture.arrivedUs);
    return frame;
}

} // namespace mf
