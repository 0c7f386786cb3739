#include "overlay/DrawingForm.h"
#include "overlay/ResizeWidget.h"
#include "overlay/TCropDlg.h"
#include "overlay/WCapture.h"
#include "overlay/WidgetGlue.h"
#include "ui_WCapture.h"

#include "tests/support/TestMain.h"

namespace {

mf::MFFramePtr solidFrame(int w, int h, QRgb color)
{
    QImage picture(w, h, QImage::Format_RGB32);
    picture.fill(color);
    mf::MFFormat format;
    format.width = w;
    format.height = h;
    return std::make_shared<mf::MFFrame>(format, picture);
}

QPoint globalOf(QWidget *w, const QPoint &local)
{
    return w->mapToGlobal(local);
}

} // namespace

// The frame's and the crop dialog's geometry rules, on the offscreen platform
// (no window manager moves anything).
class TestOverlayGeometry : public QObject
{
    Q_OBJECT

private slots:
    void frameHangsBelowTheToolBarAndCapturesInsideTheBorder()
    {
        WCapture capture(false, nullptr);
        QCOMPARE(capture.size(), QSize(530, 51));
        QVERIFY(capture.form()->cmdClose->isHidden());
        QVERIFY(capture.form()->cmbScreens->isHidden()); // one display
        QCOMPARE(capture.form()->drawButton->text(), QString("Draw"));
        QCOMPARE(capture.form()->cmdLock->text(), QString("Lock"));
        QCOMPARE(capture.form()->ckbPointer->text(), QString("Pointer"));

        QSignalSpy positions(&capture, &WCapture::onNewPosition);
        capture.move(100, 50);
        capture.showFrame();
        QCOMPARE(positions.size(), 1);
        QVERIFY(positions.first().at(0).toRect().isNull());
        DrawingForm *frame = capture.frameWindow();
        QTRY_VERIFY(frame->isVisible());
        QCOMPARE(frame->pos(), QPoint(100, 101));
        QCOMPARE(capture.captureRect(), QRect(105, 106, 520, 520));
        QTRY_VERIFY(frame->resizeHandle()->isVisible());
        QCOMPARE(frame->resizeHandle()->pos(), QPoint(630, 631));

        // Moving the tool bar carries frame and handle.
        capture.move(200, 80);
        QTRY_COMPARE(frame->pos(), QPoint(200, 131));
        QTRY_COMPARE(frame->resizeHandle()->pos(), QPoint(730, 661));

        capture.hide();
        QVERIFY(!frame->isVisible());
        QVERIFY(!frame->resizeHandle()->isVisible());
    }

    void dragReportsOnceAtReleaseAndLockStopsIt()
    {
        WCapture capture(false, nullptr);
        capture.move(100, 50);
        capture.showFrame();
        QVERIFY(QTest::qWaitForWindowExposed(&capture));
        QSignalSpy positions(&capture, &WCapture::onNewPosition);

        const QPoint grip(5, 5);
        QCursor::setPos(globalOf(&capture, grip));
        QMouseEvent press(QEvent::MouseButtonPress, grip, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&capture, &press);
        for (int step = 1; step <= 5; ++step) {
            QMouseEvent move(QEvent::MouseMove, grip + QPoint(10 * step, 4 * step), Qt::NoButton, Qt::LeftButton,
                             Qt::NoModifier);
            QApplication::sendEvent(&capture, &move);
        }
        QCOMPARE(positions.size(), 0); // nothing while dragging
        QMouseEvent release(QEvent::MouseButtonRelease, grip + QPoint(50, 20), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(&capture, &release);
        QCOMPARE(positions.size(), 1);
        QVERIFY(capture.pos() != QPoint(100, 50));
        QCOMPARE(positions.last().at(0).toRect(), capture.captureRect());
        QCOMPARE(capture.captureRect().topLeft(), capture.pos() + QPoint(5, 56));

        // Locked: no move and no report.
        capture.form()->cmdLock->click();
        const QPoint before = capture.pos();
        QMouseEvent move(QEvent::MouseMove, grip + QPoint(80, 80), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&capture, &move);
        QApplication::sendEvent(&capture, &release);
        QCOMPARE(capture.pos(), before);
        QCOMPARE(positions.size(), 1);
        QVERIFY(capture.frameWindow()->resizeHandle()->locked);
        capture.form()->cmdLock->click();
        QVERIFY(!capture.frameWindow()->resizeHandle()->locked);
        QApplication::sendEvent(&capture, &release); // a click without movement still reports
        QCOMPARE(positions.size(), 2);
    }

    void handleResizesAndReportsOnceAtRelease()
    {
        WCapture capture(false, nullptr);
        capture.move(0, 0);
        capture.showFrame();
        DrawingForm *frame = capture.frameWindow();
        ResizeWidget *handle = frame->resizeHandle();
        QTRY_VERIFY(handle->isVisible());
        QSignalSpy positions(&capture, &WCapture::onNewPosition);

        QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, QPoint(1, 1));
        for (int i = 0; i < 4; ++i) {
            QMouseEvent move(QEvent::MouseMove, QPoint(10, 20), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(handle, &move);
        }
        QCOMPARE(frame->size(), QSize(570, 610));
        QCOMPARE(positions.size(), 0);
        QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, QPoint(10, 20));
        QCOMPARE(positions.size(), 1);
        QCOMPARE(positions.last().at(0).toRect().size(), QSize(560, 600));
        QCOMPARE(frame->strokes().size(), QSize(570, 610));

        // The frame stops at 50 x 50.
        QTest::mousePress(handle, Qt::LeftButton);
        for (int i = 0; i < 20; ++i) {
            QMouseEvent move(QEvent::MouseMove, QPoint(-100, -100), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(handle, &move);
        }
        QTest::mouseRelease(handle, Qt::LeftButton);
        QCOMPARE(frame->size(), QSize(50, 50));
        QCOMPARE(positions.size(), 2);
        QCOMPARE(positions.last().at(0).toRect().size(), QSize(40, 40));

        // Locked: nothing moves, the release still reports.
        frame->setLocked(true);
        QTest::mousePress(handle, Qt::LeftButton);
        QMouseEvent move(QEvent::MouseMove, QPoint(30, 30), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(handle, &move);
        QTest::mouseRelease(handle, Qt::LeftButton);
        QCOMPARE(frame->size(), QSize(50, 50));
        QCOMPARE(positions.size(), 3);
    }

    void modesSwitchInputTransparency()
    {
        WCapture capture(false, nullptr);
        DrawingForm *frame = capture.frameWindow();
        QVERIFY(!frame->isDrawing());
        QVERIFY(frame->isTransparentForInput());
        QVERIFY(frame->windowFlags() & Qt::WindowTransparentForInput);

        capture.form()->drawButton->click();
        QVERIFY(frame->isDrawing());
        QVERIFY(!frame->isTransparentForInput());
        QVERIFY(!(frame->windowFlags() & Qt::WindowTransparentForInput));

        // Pointer off while drawing keeps input.
        capture.form()->ckbPointer->setChecked(true);
        capture.form()->ckbPointer->setChecked(false);
        QVERIFY(!frame->isTransparentForInput());

        capture.form()->drawButton->click();
        QVERIFY(frame->isTransparentForInput());
        capture.form()->ckbPointer->setChecked(true);
        QVERIFY(!frame->isTransparentForInput());
        QCOMPARE(frame->cursor().hotSpot(), QPoint(40, 0));
        capture.form()->ckbPointer->setChecked(false);
        QVERIFY(frame->isTransparentForInput());
    }

    void strokesAreDrawnAndCleared()
    {
        WCapture capture(false, nullptr);
        capture.showFrame();
        DrawingForm *frame = capture.frameWindow();
        QTRY_VERIFY(frame->isVisible());
        capture.form()->drawButton->click();
        QTest::mousePress(frame, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
        QMouseEvent move(QEvent::MouseMove, QPoint(200, 100), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(frame, &move);
        QTest::mouseRelease(frame, Qt::LeftButton, Qt::NoModifier, QPoint(200, 100));
        QCOMPARE(QColor(frame->strokes().pixel(150, 100)), QColor(Qt::red));
        QCOMPARE(qAlpha(frame->strokes().pixel(150, 110)), 0);

        // The right button draws nothing.
        QTest::mousePress(frame, Qt::RightButton, Qt::NoModifier, QPoint(100, 300));
        QMouseEvent right(QEvent::MouseMove, QPoint(200, 300), Qt::NoButton, Qt::RightButton, Qt::NoModifier);
        QApplication::sendEvent(frame, &right);
        QTest::mouseRelease(frame, Qt::RightButton, Qt::NoModifier, QPoint(200, 300));
        QCOMPARE(qAlpha(frame->strokes().pixel(150, 300)), 0);

        // Shaped (no compositor here): the stroke belongs to the window's shape.
        if (frame->isShaped()) {
            QVERIFY(frame->mask().contains(QPoint(150, 100)));
            QVERIFY(frame->mask().contains(QPoint(1, 3)));
            QVERIFY(!frame->mask().contains(QPoint(150, 200)));
        }
        capture.form()->clearButton->click();
        QCOMPARE(qAlpha(frame->strokes().pixel(150, 100)), 0);
        QVERIFY(frame->isDrawing()); // modes stay
        if (frame->isShaped())
            QVERIFY(!frame->mask().contains(QPoint(150, 100)));
    }

    void cropBandStartsCentredAndClampsToThePicture()
    {
        TCropDlg dialog;
        QCOMPARE(dialog.windowTitle(), QString("Crop Dialog"));
        QCOMPARE(dialog.minimumSize(), QSize(648, 404));
        dialog.resize(900, 600);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.rubberBandGeometry(), QRect(225, 150, 450, 300));
        // No picture yet: nothing to crop to.
        QVERIFY(dialog.sourceCropRect().isNull());

        dialog.frameChanged(solidFrame(1280, 720, qRgb(10, 200, 30)));
        const QRect picture = dialog.pictureRectangle();
        QVERIFY(picture.width() > 0);
        QCOMPARE(qRound(double(picture.width()) / picture.height() * 100), qRound(1280.0 / 720 * 100));

        // Moving the band past the picture's right and bottom edges pins it.
        const QRect b = dialog.rubberBandGeometry();
        const QPoint inside = b.center();
        QTest::mousePress(&dialog, Qt::LeftButton, Qt::NoModifier, inside);
        QMouseEvent far(QEvent::MouseMove, inside + QPoint(2000, 2000), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &far);
        QTest::mouseRelease(&dialog, Qt::LeftButton, Qt::NoModifier, inside + QPoint(2000, 2000));
        QCOMPARE(dialog.rubberBandGeometry().topLeft(),
                 QPoint(picture.right() - b.width(), picture.bottom() - b.height()));

        // An edge drag never makes the band narrower than 20.
        const QRect c = dialog.rubberBandGeometry();
        const QPoint edge(c.x() + c.width(), c.center().y());
        QTest::mousePress(&dialog, Qt::LeftButton, Qt::NoModifier, edge);
        QMouseEvent left(QEvent::MouseMove, edge - QPoint(2000, 0), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&dialog, &left);
        QTest::mouseRelease(&dialog, Qt::LeftButton);
        QCOMPARE(dialog.rubberBandGeometry().width(), 20);
        QCOMPARE(dialog.rubberBandGeometry().height(), c.height());

        // A band covering the picture gives the whole source picture.
        dialog.setRubberBandGeometry(picture);
        QCOMPARE(dialog.sourceCropRect(), QRect(0, 0, 1280, 720));
    }

    void cropButtonsReturnTheirCodes()
    {
        TCropDlg dialog;
        QTimer::singleShot(0, &dialog, [&dialog] { dialog.findChild<QPushButton *>("applyBtn")->click(); });
        QCOMPARE(dialog.exec(), int(TCropDlg::Apply));
        QTimer::singleShot(0, &dialog, [&dialog] { dialog.findChild<QPushButton *>("resetBtn")->click(); });
        QCOMPARE(dialog.exec(), int(TCropDlg::Reset));
        QTimer::singleShot(0, &dialog, [&dialog] { QTest::keyClick(&dialog, Qt::Key_Escape); });
        QCOMPARE(dialog.exec(), int(QDialog::Rejected));
    }

    void resizeBeforeAnyPictureMovesTheBandToTheCorner()
    {
        TCropDlg dialog;
        dialog.resize(700, 450);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.resize(800, 500);
        QTRY_COMPARE(dialog.rubberBandGeometry().topLeft(), QPoint(0, 0));
    }
};

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("DISPLAY"); // no X server: the frame takes its shaped form
    QApplication app(argc, argv);
    TestOverlayGeometry test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_OverlayGeometry.moc"
