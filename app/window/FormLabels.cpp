#include "app/window/FormLabels.h"

#include <QWidget>

namespace FormLabels {
namespace {

struct Label
{
    const char *objectName;
    const char *toolTip;
    const char *name;  // the accessible name; the tool tip's text when null
};

void label(QWidget *widget, const Label &entry)
{
    if (widget->toolTip().isEmpty())
        widget->setToolTip(QString::fromUtf8(entry.toolTip));
    widget->setAccessibleName(QString::fromUtf8(entry.name ? entry.name : entry.toolTip));
}

} // namespace

void apply(QWidget *window)
{
    const Label labels[] = {
        {"numberEdit", "Your nine-digit number", "Number"},
        {"startBtn_1", "Look the number up and start streaming", "Start with the number"},
        {"modeLbl", "Switch between the number form and the advanced form", "Switch form"},
        {"txtURL", "Server, host:port (for example 127.0.0.1:9000)", "Server, host:port"},
        {"txtStreamID", "Stream ID: the name of your stream on the server", "Stream ID"},
        {"spbVBR", "Video bit rate, kbit/s", nullptr},
        {"cmbABR", "Sound bit rate, kbit/s", nullptr},
        {"cmbEncs", "Video encoder", nullptr},
        {"spbLatency", "Latency", "Latency, ms"},
        {"chkAdaptLatency", "", "Choose the latency from the connection"},
        {"cmbFrames", "Picture size sent: SD 960×540, HD 1280×720, FullHD 1920×1080", "Picture size"},
        {"chkCombined", "Camera and screen side by side in one picture twice as wide", "Two-frames mode"},
        {"txtPassphrase", "", "Passphrase, 10 to 79 characters, optional"},
        {"chkAdaptRate", "", "Adapt the video bit rate to the connection"},
        {"cmdStart", "Start streaming to the server", "Start"},
        {"videoBtn", "Camera: choose the video source", "Camera"},
        {"screenBtn", "Screen: choose a display, an area or a window", "Screen source"},
        {"audioBtn", "Microphone: choose the sound source", "Microphone"},
        {"cropBtn", "Crop: send only a part of the screen", "Crop"},
        {"leftArrow", "Send a left arrow to the other side", "Left arrow"},
        {"rightArrow", "Send a right arrow to the other side", "Right arrow"},
        {"pauseBtn", "Hide the screen from the broadcast for a moment (Ctrl+P)", "Pause screen"},
        {"stopBtn", "Stop streaming", "Stop"},
        {"rbScreen", "", "Screen only"},
        {"rbCamera", "", "Camera only"},
        {"rbMix", "", "Camera and screen"},
        {"chkSystemAudio", "Mix the computer's own sound into the stream", "Add system sound"},
        {"chkSmartMute", "Mute the return sound while you speak", "Smart audio"},
        {"frameInFrameLbl_1", "Your picture; click to see it large", "Own picture"},
        {"frameInFrameLbl_2", "Click to swap the two pictures", "Small picture"},
    };
    for (const Label &entry : labels) {
        if (auto *widget = window->findChild<QWidget *>(QLatin1String(entry.objectName)))
            label(widget, entry);
    }
}

} // namespace FormLabels
