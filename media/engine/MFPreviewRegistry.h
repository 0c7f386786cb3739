#pragma once
#include <QtGlobal>

class QWidget;

namespace mf {

// Hands out handles for the widgets the previews paint into, and finds the
// widget back by its handle, without making the widget a native window (a
// native window handle, QWidget::winId(), is still found through Qt).
// GUI thread only.
class MFPreviewRegistry
{
public:
    static quint64 handleOf(QWidget *widget);
    // The widget of a handle from handleOf() or winId(); nullptr when it is gone.
    static QWidget *find(quint64 handle);
};

} // namespace mf
