#pragma once
#include <QObject>
#include <QPoint>

class QWidget;

// Keeps a follower window at a fixed offset from its leader's top-left corner
// and shows, hides and closes it with the leader. The leader forwards its own
// move, show, hide and close events here.
class WidgetGlue : public QObject
{
    Q_OBJECT
public:
    WidgetGlue(QWidget *leader, QWidget *follower, QPoint offset);

    QPoint offset() const { return m_offset; }
    void setOffset(const QPoint &offset) { m_offset = offset; }

signals:
    void sigShow();

public slots:
    void onShow();
    void onHide();
    void onMove(QPoint pos);
    void onClose();

private slots:
    void afterShow();

private:
    QWidget *leader;
    QWidget *follower;
    QPoint m_offset;
};
