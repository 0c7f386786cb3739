#pragma once
#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRegion>
#include <QWidget>

#include <atomic>
#include <memory>

class CompositorWatch;
class InputCover;
class QCheckBox;
class ResizeWidget;
class WidgetGlue;

namespace Ui {
class DrawingForm;
}

// The capture frame: a top-level window with a dashed blue border over the
// captured area, and the surface the user draws red strokes on. It lets the
// mouse through to the desktop unless draw mode or pointer mode is on.
//
// Without a compositing manager a translucent window paints opaque, so the
// window is then shaped to its border and strokes, and the desktop beneath
// stays visible (and captured).
class DrawingForm : public QWidget
{
    Q_OBJECT
public:
    // The ring of this width around the frame's edge is not captured.
    static constexpr int kBorder = 5;

    DrawingForm(QCheckBox *pointerBox, QWidget *parent = nullptr);
    ~DrawingForm() override;

    void toggleDrawing();
    void clearImage();
    void setLocked(bool locked);

    bool isDrawing() const { return drawing; }
    bool isTransparentForInput() const { return testAttribute(Qt::WA_TransparentForMouseEvents); }
    bool isShaped() const { return shaped; }
    bool isComposited() const { return composited; }
    bool isCovered() const;
    const QImage &strokes() const { return image; }
    ResizeWidget *resizeHandle() const { return resizer.get(); }

signals:
    void newSize();

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void moveEvent(QMoveEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void drawLineTo(const QPoint &endPoint);
    void setInputTransparent(bool transparent);
    void pointerStateChanged(int state);
    void handleClicked(bool pressed);
    void rebuildImage();
    void followCompositor(bool isComposited);
    void applyShape();
    void updateShape();
    QRegion paintedBorder() const;
    void addStrokeShape(const QRect &damaged);
    bool takesInput() const;
    void updateCover();

    std::atomic<bool> scribbling{false};
    std::atomic<bool> resizing{false};
    QPoint lastPoint;
    QImage image;
    QColor penColor = Qt::red;
    int penWidth = 5;
    std::unique_ptr<ResizeWidget> resizer; // a top-level window, deleted with this one
    WidgetGlue *glue = nullptr;
    std::unique_ptr<Ui::DrawingForm> ui;
    bool drawing = false;
    QCheckBox *pointerBox;

    CompositorWatch *compositor = nullptr;
    bool composited = false;
    bool shaped = true;
    QRegion strokeShape;
    QRegion borderShape;
    QSize borderShapeSize;
    // In a shaped window the holes would let the mouse through even in draw
    // mode: while the frame takes input, an input-only window covers it.
    InputCover *inputCover = nullptr;
};
