#include "overlay/DrawingForm.h"
#include "overlay/ResizeWidget.h"
#include "overlay/TCropDlg.h"
#include "overlay/WCapture.h"
#include "ui_WCapture.h"

#include "tests/support/TestMain.h"

namespace {

// Offscreen and without an X server, before the application starts: the frame is shaped.
[[maybe_unused]] const bool kNoDisplay = (qputenv("QT_QPA_PLATFORM", "offscreen"), qunsetenv("DISPLAY"), true);

void send(QWidget *to, QEvent::Type type, const QPoint &at, Qt::MouseButton button = Qt::LeftButton)
{
    const Qt::MouseButton changed = type == QEvent::MouseMove ? Qt::NoButton : button;
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
    QMouseEvent event(type, at, changed, held, Qt::NoModifier);
    QApplication::sendEvent(to, &event);
}

} // namespace

// The frame's and the crop dialog's geometry, offscreen (no window manager moves anything).
class TestOverlayGeometry : public QObject
{
    Q_OBJECT

private slots:
    // The frame hangs below the tool bar, which carries it and the handle;
    // a drag reports once, at the release, and locked nothing moves or reports.
    void frameHangsBelowTheToolBarAndDragReportsOnceAtRelease()
    {
        WCapture capture(false, nullptr);
        QVERIFY(capture.form()->cmdClose->isHidden());
        QVERIFY(capture.form()->cmbScreens->isHidden()); // one display
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

        QVERIFY(QTest::qWaitForWindowExposed(&capture));
        positions.clear();
        const QPoint grip(5, 5);
        QCursor::setPos(capture.mapToGlobal(grip));
        send(&capture, QEvent::MouseButtonPress, grip);
        for (int step = 1; step <= 5; ++step)
            send(&capture, QEvent::MouseMove, grip + QPoint(10 * step, 4 * step));
        QCOMPARE(positions.size(), 0); // nothing while dragging
        send(&capture, QEvent::MouseButtonRelease, grip + QPoint(50, 20));
        QCOMPARE(positions.size(), 1);
        QVERIFY(capture.pos() != QPoint(100, 50));
        QCOMPARE(positions.last().at(0).toRect(), capture.captureRect());
        QCOMPARE(capture.captureRect().topLeft(), capture.pos() + QPoint(5, 56));
        capture.form()->cmdLock->click();
        const QPoint before = capture.pos();
        send(&capture, QEvent::MouseMove, grip + QPoint(80, 80));
        send(&capture, QEvent::MouseButtonRelease, grip);
        QCOMPARE(capture.pos(), before);
        QCOMPARE(positions.size(), 1);
        QVERIFY(frame->resizeHandle()->locked);
        capture.form()->cmdLock->click();
        QVERIFY(!frame->resizeHandle()->locked);
        send(&capture, QEvent::MouseButtonRelease, grip); // a click without movement still reports
        QCOMPARE(positions.size(), 2);

        capture.move(200, 80);
        QTRY_COMPARE(frame->pos(), QPoint(200, 131));
        QTRY_COMPARE(frame->resizeHandle()->pos(), QPoint(730, 661));
        capture.hide();
        QVERIFY(!frame->isVisible());
        QVERIFY(!frame->resizeHandle()->isVisible());
    }

    void handleResizesAndReportsOnceAtRelease_data()
    {
        QTest::addColumn<bool>("locked");
        QTest::addColumn<int>("moves");
        QTest::addColumn<QPoint>("by");
        QTest::addColumn<QSize>("frameSize");
        QTest::addColumn<QSize>("reported");
        QTest::newRow("grows") << false << 4 << QPoint(10, 20) << QSize(570, 610) << QSize(560, 600);
        QTest::newRow("stops at 50 x 50") << false << 20 << QPoint(-100, -100) << QSize(50, 50) << QSize(40, 40);
        QTest::newRow("locked") << true << 1 << QPoint(30, 30) << QSize(530, 530) << QSize(520, 520);
    }
    void handleResizesAndReportsOnceAtRelease()
    {
        QFETCH(bool, locked);
        QFETCH(int, moves);
        QFETCH(QPoint, by);
        WCapture capture(false, nullptr);
        capture.move(0, 0);
        capture.showFrame();
        DrawingForm *frame = capture.frameWindow();
        ResizeWidget *handle = frame->resizeHandle();
        QTRY_VERIFY(handle->isVisible());
        frame->setLocked(locked);
        QSignalSpy positions(&capture, &WCapture::onNewPosition);
        QTest::mousePress(handle, Qt::LeftButton, Qt::NoModifier, QPoint(1, 1));
        for (int i = 0; i < moves; ++i)
            send(handle, QEvent::MouseMove, by);
        QTEST(frame->size(), "frameSize");
        QCOMPARE(positions.size(), 0);
        QTest::mouseRelease(handle, Qt::LeftButton, Qt::NoModifier, by);
        QCOMPARE(positions.size(), 1); // locked too
        QTEST(positions.last().at(0).toRect().size(), "reported");
        QCOMPARE(frame->strokes().size(), frame->size());
    }

    // Draw and Pointer switch the frame's input; the left button draws (the right one nothing) into
    // the shape beside the border; Clear wipes it and keeps the mode.
    void modesSwitchInputAndStrokesAreDrawnAndCleared()
    {
        WCapture capture(false, nullptr);
        capture.showFrame();
        DrawingForm *frame = capture.frameWindow();
        QTRY_VERIFY(frame->isVisible());
        QVERIFY(frame->isShaped()); // no compositor here
        QVERIFY(!frame->isDrawing());
        QVERIFY(frame->isTransparentForInput());
        QVERIFY(frame->windowFlags() & Qt::WindowTransparentForInput);
        capture.form()->ckbPointer->setChecked(true);
        QVERIFY(!frame->isTransparentForInput());
        QCOMPARE(frame->cursor().hotSpot(), QPoint(40, 0));
        capture.form()->ckbPointer->setChecked(false);
        QVERIFY(frame->isTransparentForInput());
        capture.form()->drawButton->click();
        QVERIFY(frame->isDrawing());
        QVERIFY(!frame->isTransparentForInput());
        QVERIFY(!(frame->windowFlags() & Qt::WindowTransparentForInput));
        // Pointer off while drawing keeps input.
        capture.form()->ckbPointer->setChecked(true);
        capture.form()->ckbPointer->setChecked(false);
        QVERIFY(!frame->isTransparentForInput());
        for (const auto button : {Qt::LeftButton, Qt::RightButton}) {
            const int y = button == Qt::LeftButton ? 100 : 300;
            QTest::mousePress(frame, button, Qt::NoModifier, QPoint(100, y));
            send(frame, QEvent::MouseMove, QPoint(200, y), button);
            QTest::mouseRelease(frame, button, Qt::NoModifier, QPoint(200, y));
        }
        QCOMPARE(QColor(frame->strokes().pixel(150, 100)), QColor(Qt::red));
        QCOMPARE(qAlpha(frame->strokes().pixel(150, 110)), 0);
        QCOMPARE(qAlpha(frame->strokes().pixel(150, 300)), 0);
        QVERIFY(frame->mask().contains(QPoint(150, 100)));
        QVERIFY(frame->mask().contains(QPoint(1, 3)));
        QVERIFY(!frame->mask().contains(QPoint(150, 200)));
        capture.form()->clearButton->click();
        QCOMPARE(qAlpha(frame->strokes().pixel(150, 100)), 0);
        QVERIFY(!frame->mask().contains(QPoint(150, 100)));
        QVERIFY(frame->isDrawing());
        capture.form()->drawButton->click();
        QVERIFY(frame->isTransparentForInput());
    }

    void cropBandStartsCentredAndClampsToThePicture()
    {
        TCropDlg dialog;
        dialog.resize(900, 600);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        QCOMPARE(dialog.rubberBandGeometry(), QRect(225, 150, 450, 300));
        QVERIFY(dialog.sourceCropRect().isNull()); // no picture yet: nothing to crop to
        dialog.resize(1000, 650); // and the band goes to the corner
        QTRY_COMPARE(dialog.rubberBandGeometry().topLeft(), QPoint(0, 0));
        QImage solid(1280, 720, QImage::Format_RGB32);
        solid.fill(qRgb(10, 200, 30));
        mf::MFFormat format;
        format.width = 1280;
        format.height = 720;
        dialog.frameChanged(std::make_shared<mf::MFFrame>(format, solid));
        const QRect picture = dialog.pictureRectangle();
        QCOMPARE(qRound(double(picture.width()) / picture.height() * 100), qRound(1280.0 / 720 * 100));

        // Moving the band past the picture's right and bottom edges pins it.
        const QRect b = dialog.rubberBandGeometry();
        QTest::mousePress(&dialog, Qt::LeftButton, Qt::NoModifier, b.center());
        send(&dialog, QEvent::MouseMove, b.center() + QPoint(2000, 2000));
        QTest::mouseRelease(&dialog, Qt::LeftButton, Qt::NoModifier, b.center() + QPoint(2000, 2000));
        QCOMPARE(dialog.rubberBandGeometry().topLeft(), QPoint(picture.right() - b.width(), picture.bottom() - b.height()));

        // An edge drag never makes the band narrower than 20.
        const QRect c = dialog.rubberBandGeometry();
        const QPoint edge(c.x() + c.width(), c.center().y());
        QTest::mousePress(&dialog, Qt::LeftButton, Qt::NoModifier, edge);
        send(&dialog, QEvent::MouseMove, edge - QPoint(2000, 0));
        QTest::mouseRelease(&dialog, Qt::LeftButton);
        QCOMPARE(dialog.rubberBandGeometry().size(), QSize(20, c.height()));

        // A band covering the picture gives the whole source picture.
        dialog.setRubberBandGeometry(picture);
        QCOMPARE(dialog.sourceCropRect(), QRect(0, 0, 1280, 720));
    }

    // Apply before a picture arrived stores no crop, as Reset does: only the
    // codes tell them apart.
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
};

ORVANTA_TEST_MAIN(TestOverlayGeometry, TestMain::Offscreen)

#include "tst_OverlayGeometry.moc"
