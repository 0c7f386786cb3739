#pragma once
#include "media/engine/MFFrame.h"

#include <QDialog>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QSize>

#include "ui_TCropDlg.h"

class QRubberBand;

// Shows the live screen picture, letter-boxed, with a rubber band the user
// moves and sizes by its right edge, bottom edge or corner; exec() returns
// Apply or Reset (or Rejected for Escape and the close button). The band is
// kept in the picture label's coordinates; sourceCropRect() gives it in the
// picture's own pixels.
class TCropDlg : public QDialog, private Ui::TCropDlg
{
    Q_OBJECT
public:
    enum ResultCode { Reset = 2, Apply = 3 };
    Q_ENUM(ResultCode)

    explicit TCropDlg(QWidget *parent = nullptr);

    QRect rubberBandGeometry() const;
    void setRubberBandGeometry(const QRect &rect);
    // A null rectangle while no picture has arrived: nothing to crop to.
    QRect sourceCropRect() const;

    QRect pictureRectangle() const { return pictureRect; }
    QSize snapshotSize() const { return snapshot.size(); }

public slots:
    void frameChanged(mf::MFFramePtr frame);

protected:
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void updatePicture();
    int newWidth(int x) const;
    int newHeight(int y) const;
    void updateCursorShape(int x, int y);
    QPoint clampedToPicture(int x, int y, const QSize &band) const;

    QRubberBand *rubberBand;
    QPoint pressPoint;
    QSize startSize{0, 0};
    bool moving = false;
    bool resizingBottom = false;
    bool resizingRight = false;
    bool resizingCorner = false;
    QRect previousPictureRect;
    QRect pictureRect;
    QPixmap snapshot;
    QImage snapshotImage; // the same picture, for comparing with the next one
};
