#include "media/engine/MFPreviewRegistry.h"

#include <QHash>
#include <QPointer>
#include <QWidget>

namespace mf {

namespace {

// Handles are counted from far above the range of X window ids, so the two
// kinds never meet.
constexpr quint64 kFirstHandle = quint64(1) << 48;

struct Registry
{
    QHash<quint64, QPointer<QWidget>> widgets;
    quint64 next = kFirstHandle;
};

Registry &registry()
{
    static Registry r;
    return r;
}

} // namespace

quint64 MFPreviewRegistry::handleOf(QWidget *widget)
{
    if (!widget)
        return 0;
    Registry &r = registry();
    for (auto it = r.widgets.begin(); it != r.widgets.end();) {
        if (it.value() == widget)
            return it.key();
        it = it.value() ? std::next(it) : r.widgets.erase(it);
    }
    const quint64 handle = r.next++;
    r.widgets.insert(handle, widget);
    return handle;
}

QWidget *MFPreviewRegistry::find(quint64 handle)
{
    if (!handle)
        return nullptr;
    if (handle >= kFirstHandle)
        return registry().widgets.value(handle).data();
    return QWidget::find(WId(handle));
}

} // namespace mf
