#include "overlay/TCropDlg.h"

#include <QMouseEvent>
#include <QPainter>
#include <QRubberBand>

namespace {

constexpr int kMinimumBand = 20;

QRect originPixel()
{
    QRect r;
    r.setCoords(0, 0, 0, 0);
    return r;
}

} // namespace

TCropDlg::TCropDlg(QWidget *parent) : QDialog(parent)
{
    setupUi(this);
    previousPictureRect = originPixel();
    pictureRect = originPixel();
    rubberBand = new QRubberBand(QRubberBand::Rectangle, label);
    rubberBand->setGeometry(0, 0, 0, 0);
    rubberBand->show();
    connect(resetBtn, &QPushButton::clicked, this, [this] { done(Reset); });
    connect(applyBtn, &QPushButton::clicked, this, [this] { done(Apply); });
}

QRect TCropDlg::rubberBandGeometry() const
{
    return rubberBand->geometry();
}

void TCropDlg::setRubberBandGeometry(const QRect &rect)
{
    rubberBand->setGeometry(rect);
}

QRect TCropDlg::sourceCropRect() const
{
    if (snapshot.isNull() || pictureRect.width() <= 0 || pictureRect.height() <= 0)
        return QRect();
    const float sx = float(pictureRect.width()) / float(snapshot.width());
    const float sy = float(pictureRect.height()) / float(snapshot.height());
    const QRect b = rubberBand->geometry();
    return QRect(qRound((b.x() - pictureRect.x()) / sx), qRound((b.y() - pictureRect.y()) / sy),
                 qRound(b.width() / sx), qRound(b.height() / sy));
}

void TCropDlg::frameChanged(mf::MFFramePtr frame)
{
    if (!frame)
        return;
    const QImage picture = frame->image();
    if (picture.isNull())
        return; // keep the previous picture
    if (picture == snapshotImage)
        return;
    snapshotImage = picture;
    snapshot = QPixmap::fromImage(picture);
    updatePicture();
}

void TCropDlg::updatePicture()
{
    if (snapshot.isNull())
        return;
    // Painted in the screen's own pixels: on a high-density screen a canvas
    // of the label's size would show the picture at a fraction of them.
    const qreal ratio = label->devicePixelRatioF();
    QPixmap canvas(label->size() * ratio);
    canvas.setDevicePixelRatio(ratio);
    const int lw = label->width();
    const int lh = label->height();
    const float labelRatio = float(lw) / float(lh);
    const float pictureRatio = float(snapshot.width()) / float(snapshot.height());
    previousPictureRect = pictureRect;
    if (labelRatio == pictureRatio) {
        pictureRect = QRect(0, 0, lw, lh);
    } else if (labelRatio > pictureRatio) {
        const int h = lh;
        const int w = qRound(h * pictureRatio);
        pictureRect = QRect((lw - w) / 2, 0, w, h);
    } else {
        const int w = lw;
        const int h = qRound(w / pictureRatio);
        pictureRect = QRect(0, (lh - h) / 2, w, h);
    }
    QPainter painter(&canvas);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.setBackgroundMode(Qt::OpaqueMode);
    painter.setBrush(QColor(7, 255, 242));
    painter.drawRect(canvas.rect());
    QPixmap shown = snapshot.scaled(pictureRect.size() * ratio, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    shown.setDevicePixelRatio(ratio);
    painter.drawPixmap(pictureRect.topLeft(), shown);
    painter.end();
    label->setPixmap(canvas);
}

void TCropDlg::showEvent(QShowEvent *event)
{
    const QRect band = rubberBand->geometry();
    if (band.isNull() || band == QRect(0, 0, 1, 1))
        rubberBand->setGeometry(width() / 4, height() / 4, width() / 2, height() / 2);
    event->accept();
}

QPoint TCropDlg::clampedToPicture(int x, int y, const QSize &band) const
{
    if (x + band.width() > pictureRect.right())
        x = pictureRect.right() - band.width();
    if (y + band.height() > pictureRect.bottom())
        y = pictureRect.bottom() - band.height();
    if (x < pictureRect.x())
        x = pictureRect.x();
    if (y < pictureRect.y())
        y = pictureRect.y();
    return QPoint(x, y);
}

void TCropDlg::resizeEvent(QResizeEvent *event)
{
    updatePicture();
    if (event->oldSize() == QSize(-1, -1)) {
        event->accept();
        return;
    }
    const float fx = float(pictureRect.width()) / float(previousPictureRect.width());
    const float fy = float(pictureRect.height()) / float(previousPictureRect.height());
    const QRect b = rubberBand->geometry();
    const int x = int(pictureRect.x() + (b.x() - previousPictureRect.x()) * fx);
    const int y = int(pictureRect.y() + (b.y() - previousPictureRect.y()) * fy);
    const int w = int(b.width() * fx);
    const int h = int(b.height() * fy);
    const QPoint at = clampedToPicture(x, y, b.size());
    rubberBand->setGeometry(at.x(), at.y(), w, h);
    event->accept();
}

void TCropDlg::mousePressEvent(QMouseEvent *event)
{
    const int x = event->pos().x();
    const int y = event->pos().y();
    const QRect b = rubberBand->geometry();
    const int right = b.x() + b.width();
    const int bottom = b.y() + b.height();
    if (b.x() + 5 < x && x < right - 5 && b.y() + 5 < y && y < bottom - 5) {
        pressPoint = QPoint(x - b.x(), y - b.y());
        moving = true;
        setCursor(Qt::SizeAllCursor);
        return;
    }
    if (right - 4 <= x && x <= right + 2) {
        resizingRight = true;
        pressPoint.setX(x);
        startSize.setWidth(b.width());
        setCursor(Qt::SizeHorCursor);
    }
    if (bottom - 4 <= y && y <= bottom + 2) {
        resizingBottom = true;
        pressPoint.setY(y);
        startSize.setHeight(b.height());
        setCursor(Qt::SizeVerCursor);
    }
    if (resizingRight && resizingBottom) {
        resizingRight = resizingBottom = false;
        resizingCorner = true;
        pressPoint = QPoint(x, y);
        startSize = b.size();
        setCursor(Qt::SizeFDiagCursor);
    }
}

int TCropDlg::newWidth(int x) const
{
    const QRect b = rubberBand->geometry();
    int w = qMax(kMinimumBand, startSize.width() + (x - pressPoint.x()));
    if (b.x() + w > width())
        w = width() - b.x();
    return w;
}

int TCropDlg::newHeight(int y) const
{
    const QRect b = rubberBand->geometry();
    int h = qMax(kMinimumBand, startSize.height() + (y - pressPoint.y()));
    if (b.y() + h > height())
        h = height() - b.y();
    return h;
}

void TCropDlg::mouseMoveEvent(QMouseEvent *event)
{
    const int x = event->pos().x();
    const int y = event->pos().y();
    const QRect b = rubberBand->geometry();
    if (moving) {
        const QPoint at = clampedToPicture(x - pressPoint.x(), y - pressPoint.y(), b.size());
        rubberBand->setGeometry(at.x(), at.y(), b.width(), b.height());
    } else if (resizingRight) {
        int w = newWidth(x);
        int h = b.height();
        if (b.y() + b.height() > height()) {
            h = height() - b.y();
            w = b.width();
        }
        rubberBand->setGeometry(b.x(), b.y(), w, h);
    } else if (resizingBottom) {
        int h = newHeight(y);
        int w = b.width();
        if (b.x() + b.width() > width()) {
            w = width() - b.x();
            h = b.height();
        }
        rubberBand->setGeometry(b.x(), b.y(), w, h);
    } else if (resizingCorner) {
        rubberBand->setGeometry(b.x(), b.y(), newWidth(x), newHeight(y));
    } else {
        updateCursorShape(x, y);
    }
}

void TCropDlg::updateCursorShape(int x, int y)
{
    const QRect b = rubberBand->geometry();
    const int right = b.x() + b.width();
    const int bottom = b.y() + b.height();
    const bool onRight = right - 4 <= x && x <= right + 2;
    const bool onBottom = bottom - 4 <= y && y <= bottom + 2;
    if (onRight && onBottom)
        setCursor(Qt::SizeFDiagCursor);
    else if (onRight)
        setCursor(Qt::SizeHorCursor);
    else if (onBottom)
        setCursor(Qt::SizeVerCursor);
    else
        setCursor(Qt::ArrowCursor);
}

void TCropDlg::mouseReleaseEvent(QMouseEvent *)
{
    moving = resizingBottom = resizingRight = resizingCorner = false;
    setCursor(Qt::ArrowCursor);
}
