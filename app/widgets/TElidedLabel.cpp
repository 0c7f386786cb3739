#include "app/widgets/TElidedLabel.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

TElidedLabel::TElidedLabel(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
}

QString TElidedLabel::shownText() const
{
    return fontMetrics().elidedText(text(), Qt::ElideRight, contentsRect().width());
}

QSize TElidedLabel::minimumSizeHint() const
{
    const QSize hint = QLabel::minimumSizeHint();
    const int least = fontMetrics().horizontalAdvance(QStringLiteral("Mm…"));
    return QSize(qMin(hint.width(), least), hint.height());
}

void TElidedLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(), shownText(),
                          foregroundRole());
}
