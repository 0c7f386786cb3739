#include "app/TImageWidget.h"
#include "app/TLabel.h"
#include "app/TNumberEdit.h"

#include <QApplication>
#include <QPainter>
#include <QSignalSpy>
#include <QtTest>

class TestWidgets : public QObject
{
    Q_OBJECT
private slots:
    void labelClicksOnlyWithLeftButton();
    void emptyNumberFieldClickGoesToFirstDigit();
    void filledNumberFieldClickPlacesCursor();
    void deleteStepsRightOnceDigitsAreMissing();
    void imageWidgetCoversWideArea();
    void imageWidgetCoversTallArea();

private:
    static void prepareNumberField(TNumberEdit &edit);
    static QImage expectedBackground(const QSize &size);
};

void TestWidgets::labelClicksOnlyWithLeftButton()
{
    TLabel label;
    label.resize(100, 40);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));
    QSignalSpy clicked(&label, &TLabel::clicked);
    QTest::mouseClick(&label, Qt::RightButton);
    QTest::mouseClick(&label, Qt::MiddleButton);
    QCOMPARE(clicked.count(), 0);
    QTest::mouseClick(&label, Qt::LeftButton);
    QCOMPARE(clicked.count(), 1);
    QTest::mouseClick(&label, Qt::LeftButton, Qt::ControlModifier);
    QCOMPARE(clicked.count(), 2);
}

void TestWidgets::prepareNumberField(TNumberEdit &edit)
{
    edit.setInputMask("999-999-999;_");
    edit.setAlignment(Qt::AlignCenter);
    edit.resize(240, 32);
    edit.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
}

void TestWidgets::emptyNumberFieldClickGoesToFirstDigit()
{
    TNumberEdit edit;
    prepareNumberField(edit);
    QCOMPARE(edit.text(), QString("--"));
    QTest::mouseClick(&edit, Qt::LeftButton, {}, QPoint(edit.width() - 30, edit.height() / 2));
    QCOMPARE(edit.cursorPosition(), 0);
    QTest::keyClicks(&edit, "12");
    QCOMPARE(edit.text(), QString("12--"));
}

void TestWidgets::filledNumberFieldClickPlacesCursor()
{
    TNumberEdit edit;
    prepareNumberField(edit);
    edit.setText("123456789");
    edit.setCursorPosition(0);
    QTest::mouseClick(&edit, Qt::LeftButton, {}, QPoint(edit.width() - 30, edit.height() / 2));
    QVERIFY(edit.cursorPosition() > 5);
}

void TestWidgets::deleteStepsRightOnceDigitsAreMissing()
{
    TNumberEdit edit;
    prepareNumberField(edit);
    edit.setText("123456789");
    QCOMPARE(edit.text(), QString("123-456-789"));

    // Full number: the digit goes, the cursor stays.
    edit.setCursorPosition(0);
    QTest::keyClick(&edit, Qt::Key_Delete);
    QCOMPARE(edit.text(), QString("23-456-789"));
    QCOMPARE(edit.cursorPosition(), 0);

    // Two digits missing: each Delete also steps right.
    edit.setCursorPosition(1);
    QTest::keyClick(&edit, Qt::Key_Delete);
    QCOMPARE(edit.text(), QString("3-456-789"));
    QCOMPARE(edit.cursorPosition(), 2);
    QTest::keyClick(&edit, Qt::Key_Delete);
    QCOMPARE(edit.text(), QString("-456-789"));
    // A step onto a separator lands on the next digit position.
    QCOMPARE(edit.cursorPosition(), 4);
    QTest::keyClick(&edit, Qt::Key_Delete);
    QCOMPARE(edit.text(), QString("-56-789"));
    QCOMPARE(edit.cursorPosition(), 5);
    QTest::keyClick(&edit, Qt::Key_Delete);
    QCOMPARE(edit.text(), QString("-6-789"));
    QCOMPARE(edit.cursorPosition(), 6);

    // Other keys never move the cursor by themselves.
    edit.setCursorPosition(8);
    QTest::keyClick(&edit, Qt::Key_Shift);
    QCOMPARE(edit.cursorPosition(), 8);
}

QImage TestWidgets::expectedBackground(const QSize &size)
{
    const QPixmap scaled = QPixmap(":/background").scaled(size, Qt::KeepAspectRatioByExpanding,
                                                          Qt::FastTransformation);
    return scaled.toImage().copy(QRect(QPoint(0, 0), size)).convertToFormat(QImage::Format_RGB32);
}

void TestWidgets::imageWidgetCoversWideArea()
{
    TImageWidget widget;
    widget.resize(640, 120);
    const QImage shown = widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown.size(), QSize(640, 120));
    // Full width of the picture, cut at the bottom.
    QCOMPARE(shown, expectedBackground(widget.size()));
    const QPixmap full(":/background");
    const QPixmap scaled = full.scaled(widget.size(), Qt::KeepAspectRatioByExpanding);
    QCOMPARE(scaled.width(), 640);
    QVERIFY(scaled.height() > 120);
}

void TestWidgets::imageWidgetCoversTallArea()
{
    TImageWidget widget;
    widget.resize(120, 500);
    const QImage shown = widget.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shown, expectedBackground(widget.size()));
    // The left edge of the picture is shown, its right part is cut.
    const QImage leftColumn = QPixmap(":/background")
                                  .scaled(widget.size(), Qt::KeepAspectRatioByExpanding,
                                          Qt::FastTransformation)
                                  .toImage()
                                  .convertToFormat(QImage::Format_RGB32);
    QVERIFY(leftColumn.width() > 120);
    QCOMPARE(shown.pixel(0, 250), leftColumn.pixel(0, 250));
}

QTEST_MAIN(TestWidgets)
#include "tst_Widgets.moc"
