#include "app/widgets/TNumberEdit.h"

#include <QKeyEvent>
#include <QMouseEvent>

namespace {
// text() of a masked field holds the digits and the two "-" separators.
constexpr int kAlmostFullLength = 10;
const QString kSeparatorsOnly = QStringLiteral("--");
}

TNumberEdit::TNumberEdit(QWidget *parent)
    : QLineEdit(parent)
{
}

void TNumberEdit::keyPressEvent(QKeyEvent *event)
{
    QLineEdit::keyPressEvent(event);
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        emit enterPressed();
}

void TNumberEdit::keyReleaseEvent(QKeyEvent *event)
{
    QLineEdit::keyReleaseEvent(event);
    event->accept();
    // A masked field keeps the cursor in place on Delete; once digits are
    // missing, stepping right lets repeated presses clear successive digits.
    if (event->key() == Qt::Key_Delete && text().length() < kAlmostFullLength)
        setCursorPosition(cursorPosition() + 1);
}

void TNumberEdit::mousePressEvent(QMouseEvent *event)
{
    // In an empty field the click lands wherever the mouse is; typing must
    // start at the first digit instead.
    if (event->button() == Qt::LeftButton && text() == kSeparatorsOnly) {
        setCursorPosition(0);
        event->accept();
        return;
    }
    QLineEdit::mousePressEvent(event);
    event->accept();
}
