#pragma once
#include <QLabel>

// A one-line label that may be narrower than its text: it paints the text cut
// with "…" at the end and keeps the whole text as text() (its owner puts that
// into the tool tip). Its minimum width is small, so that it never pushes its
// neighbours (the CPU indicator) out of a status bar.
class TElidedLabel : public QLabel
{
    Q_OBJECT
public:
    explicit TElidedLabel(QWidget *parent = nullptr);

    // The text as painted at the current width.
    QString shownText() const;
    bool isElided() const { return shownText() != text(); }

    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
};
