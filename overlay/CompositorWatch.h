#pragma once
#include <QObject>
#include <QTimer>

#include <memory>

// Tells whether a compositing manager runs on the X screen: one does while
// the _NET_WM_CM_S<screen> selection has an owner. Looks again every
// intervalMs, so a manager that starts or stops later is noticed.
class CompositorWatch : public QObject
{
    Q_OBJECT
public:
    explicit CompositorWatch(QObject *parent = nullptr, int intervalMs = 500);
    ~CompositorWatch() override;

    bool isComposited() const { return m_composited; }
    // Asks the X server now (false without an X display).
    bool check();

signals:
    void compositedChanged(bool composited);

private:
    struct Connection;
    std::unique_ptr<Connection> m_x;
    QTimer m_timer;
    bool m_composited = false;
};
