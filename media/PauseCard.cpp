#include "media/PauseCard.h"

#include "media/ScreenSource.h"
#include "media/engine/MFFactory.h"

#include <QFont>
#include <QPainter>

const char *const PauseCard::kText = "Screen paused";

mf::MFFramePtr PauseCard::frame(const QSize &size)
{
    if (!m_card || m_card->image().size() != size)
        m_card = paint(size);
    return m_card ? m_card->copy() : nullptr;
}

mf::MFFramePtr PauseCard::paint(const QSize &size)
{
    mf::MFFormat format;
    format.width = size.width();
    format.height = size.height();
    mf::MFFramePtr card = mf::MFFactory::create(format, kBackgroundFrame);
    if (!card)
        return nullptr;
    QImage picture(card->bits(), card->width(), card->height(), card->stride(), QImage::Format_RGB32);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QFont font;
    // A tenth of the height reads well from the inset up to a full screen.
    font.setPixelSize(qMax(12, size.height() / 10));
    font.setBold(true);
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(QRect(QPoint(0, 0), size), Qt::AlignCenter, QString::fromUtf8(kText));
    return card;
}
