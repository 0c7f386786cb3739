#include "overlay/DrawingForm.h"

#include "overlay/CompositorWatch.h"
#include "overlay/InputCover.h"
#include "overlay/ResizeWidget.h"
#include "overlay/WidgetGlue.h"
#include "ui_DrawingForm.h"

#include <QBitmap>
#include <QCheckBox>
#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPen>

namespace {

// The frame's size when it first shows.
constexpr int kFirstSide = 530;
// Where the pen of the pointer picture writes: its tip.
constexpr int kPointerTipX = 40;
constexpr int kPointerTipY = 0;

void paintFrame(QPainter &painter, const QRect &rect)
{
    painter.setPen(QPen(Qt::blue, 7, Qt::DashLine));
    painter.setBrush(QBrush(QColor(255, 255, 255, 10), Qt::SolidPattern));
    painter.drawRect(rect);
}

} // namespace

DrawingForm::DrawingForm(QCheckBox *pointerBox, QWidget *parent)
    : QWidget(parent), ui(std::make_unique<Ui::DrawingForm>()), pointerBox(pointerBox)
{
    ui->setupUi(this);
    setObjectName(QStringLiteral("DrawingForm"));
    resize(kFirstSide, kFirstSide);
    // Not framed by the window manager: a frame of its would take the clicks
    // that this window's input shape lets through.
    setWindowFlags(Qt::WindowStaysOnTopHint | Qt::WindowSystemMenuHint | Qt::FramelessWindowHint
                   | Qt::X11BypassWindowManagerHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_MouseTracking);

    drawing = true;
    toggleDrawing();
    penWidth = 5;
    penColor = Qt::red;
    image = QImage(size(), QImage::Format_RGBA8888);
    image.fill(Qt::transparent);
    connect(pointerBox, &QCheckBox::stateChanged, this, &DrawingForm::pointerStateChanged);

    resizer = std::make_unique<ResizeWidget>(nullptr);
    glue = new WidgetGlue(this, resizer.get(), QPoint(width(), height()));
    connect(resizer.get(), &ResizeWidget::click, this, &DrawingForm::handleClicked);
    connect(resizer.get(), &ResizeWidget::mouseMove, this, [this](QPoint pos) {
        if (resizing)
            setGeometry(x(), y(), width() + pos.x(), height() + pos.y());
    });
    connect(resizer.get(), &ResizeWidget::resizeFinished, this, &DrawingForm::newSize);

    if (InputCover::isAvailable())
        inputCover = new InputCover(this);
    compositor = new CompositorWatch(this);
    connect(compositor, &CompositorWatch::compositedChanged, this, &DrawingForm::followCompositor);
    followCompositor(compositor->isComposited());
}

DrawingForm::~DrawingForm() = default;

void DrawingForm::setInputTransparent(bool transparent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents, transparent);
    setWindowFlag(Qt::WindowTransparentForInput, transparent);
    applyShape();
}

void DrawingForm::toggleDrawing()
{
    if (!pointerBox->isChecked())
        setInputTransparent(drawing);
    drawing = !drawing;
}

void DrawingForm::pointerStateChanged(int state)
{
    if (state == Qt::Checked) {
        if (!drawing) {
            setInputTransparent(false);
            if (isHidden())
                show();
        }
        setCursor(QCursor(QPixmap(QStringLiteral(":POINTER")), kPointerTipX, kPointerTipY));
        if (inputCover)
            inputCover->setCursorImage(QImage(QStringLiteral(":POINTER")), QPoint(kPointerTipX, kPointerTipY));
    } else {
        if (!drawing) {
            setInputTransparent(true);
            if (isHidden())
                show();
        }
        setCursor(Qt::ArrowCursor);
        if (inputCover)
            inputCover->setCursorImage(QImage(), QPoint());
    }
}

bool DrawingForm::takesInput() const
{
    return !testAttribute(Qt::WA_TransparentForMouseEvents);
}

void DrawingForm::clearImage()
{
    image.fill(Qt::transparent);
    strokeShape = QRegion();
    updateShape();
    update();
}

void DrawingForm::setLocked(bool locked)
{
    resizer->locked = locked;
}

void DrawingForm::mousePressEvent(QMouseEvent *event)
{
    if (drawing && event->button() == Qt::LeftButton) {
        lastPoint = event->pos();
        scribbling = true;
    }
}

void DrawingForm::mouseMoveEvent(QMouseEvent *event)
{
    if (drawing && (event->buttons() & Qt::LeftButton) && scribbling)
        drawLineTo(event->pos());
}

void DrawingForm::mouseReleaseEvent(QMouseEvent *event)
{
    if (drawing && event->button() == Qt::LeftButton && scribbling) {
        drawLineTo(event->pos());
        scribbling = false;
    }
}

void DrawingForm::drawLineTo(const QPoint &endPoint)
{
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(QBrush(penColor, Qt::SolidPattern), penWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawLine(lastPoint, endPoint);
    }
    const int rad = penWidth / 2;
    const QRect damaged = QRect(lastPoint, endPoint).normalized().adjusted(-rad - 2, -rad - 2, rad + 2, rad + 2);
    addStrokeShape(damaged);
    update(damaged);
    lastPoint = endPoint;
}

void DrawingForm::paintEvent(QPaintEvent *event)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawImage(event->rect(), image, event->rect());
    paintFrame(painter, rect());
    painter.end();
    QWidget::paintEvent(event);
}

void DrawingForm::handleClicked(bool pressed)
{
    resizing = pressed;
    if (!resizing)
        rebuildImage();
}

void DrawingForm::rebuildImage()
{
    const QImage previous = image;
    image = QImage(size(), QImage::Format_RGBA8888);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.drawImage(QPoint(0, 0), previous);
    }
    strokeShape = QRegion();
    addStrokeShape(image.rect());
    repaint();
}

void DrawingForm::moveEvent(QMoveEvent *event)
{
    if (glue)
        glue->onMove(event->pos());
    updateCover();
}

void DrawingForm::resizeEvent(QResizeEvent *)
{
    if (glue)
        glue->setOffset(QPoint(width(), height()));
    updateShape();
    updateCover();
}

void DrawingForm::closeEvent(QCloseEvent *)
{
    glue->onClose();
}

void DrawingForm::showEvent(QShowEvent *)
{
    glue->onShow();
    updateCover();
}

void DrawingForm::hideEvent(QHideEvent *)
{
    glue->onHide();
    if (inputCover)
        inputCover->uncover();
}

// ---------------------------------------------------------------- shape

void DrawingForm::followCompositor(bool isComposited)
{
    composited = isComposited;
    applyShape();
    update();
}

// Shaped without a compositor: the window would paint opaque.
void DrawingForm::applyShape()
{
    shaped = !composited;
    updateShape();
    updateCover();
}

bool DrawingForm::isCovered() const
{
    return inputCover && inputCover->isCovering();
}

void DrawingForm::updateCover()
{
    if (!inputCover)
        return;
    if (shaped && takesInput() && isVisible())
        inputCover->cover();
    else
        inputCover->uncover();
}

void DrawingForm::addStrokeShape(const QRect &damaged)
{
    const QRect area = damaged & image.rect();
    if (area.isEmpty())
        return;
    const QImage part = image.copy(area);
    strokeShape += QRegion(QBitmap::fromImage(part.createAlphaMask())).translated(area.topLeft());
    if (shaped)
        updateShape();
}

// The dashes of the border as they are painted: the gaps between them and
// the faint veil inside stay out of the shape.
QRegion DrawingForm::paintedBorder() const
{
    QImage border(size(), QImage::Format_ARGB32_Premultiplied);
    border.fill(Qt::transparent);
    {
        QPainter painter(&border);
        painter.setRenderHint(QPainter::Antialiasing);
        paintFrame(painter, rect());
    }
    const QRegion dashes(QBitmap::fromImage(border.createAlphaMask()));
    // Only the ring the captured rectangle leaves out.
    return dashes - QRegion(rect().adjusted(kBorder, kBorder, -kBorder, -kBorder));
}

void DrawingForm::updateShape()
{
    if (!shaped) {
        clearMask();
        return;
    }
    if (borderShape.isEmpty() || borderShapeSize != size()) {
        borderShape = paintedBorder();
        borderShapeSize = size();
    }
    setMask(borderShape + (strokeShape & QRegion(rect())));
}
