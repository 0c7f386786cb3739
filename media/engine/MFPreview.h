#pragma once
#include "media/engine/MFFrameSink.h"

#include <QPointer>

class QWidget;

#include <memory>

namespace mf {

class MFPreviewTarget;

// Shows the frames put into it in a widget, scaled to fit with the aspect
// ratio kept, and plays their sound when audio is enabled. put() may be called
// from any thread; the widget is touched only on the GUI thread.
class MFPreview : public MFFrameSink
{
public:
    MFPreview();
    ~MFPreview() override;
    MFPreview(const MFPreview &) = delete;
    MFPreview &operator=(const MFPreview &) = delete;

    bool enable(bool audio, bool video);
    // The handle of a widget to attach to, found back without making the
    // widget a native window (GUI thread).
    static quint64 handleOf(QWidget *widget);

    // Renders into the widget of the handle (handleOf() or a native window
    // handle) from now on; 0 detaches. Attaching the
    // same handle again is harmless (sizes are followed anyway).
    void attach(quint64 nativeWindowHandle);
    quint64 attachedHandle() const;

    int put(const MFFramePtr &frame, int timeoutMs) override;

    // The newest frame received, for callers that want to look at it.
    MFFramePtr lastFrame() const;

private:
    QPointer<MFPreviewTarget> m_target;
};

} // namespace mf
