#include "app/window/FormLabels.h"

#include "ui_MainWindow.h"

namespace FormLabels {
namespace {

struct Label
{
    QWidget *widget;
    const char *toolTip;
    const char *name;  // the accessible name; the tool tip's text when null
};

void label(const Label &entry)
{
    if (entry.widget->toolTip().isEmpty())
        entry.widget->setToolTip(QString::fromUtf8(entry.toolTip));
    entry.widget->setAccessibleName(QString::fromUtf8(entry.name ? entry.name : entry.toolTip));
}

} // namespace

void apply(Ui::MainWindow *ui)
{
    const Label labels[] = {
        {ui->numberEdit, "Your nine-digit number", "Number"},
        {ui->startBtn_1, "Look the number up and start streaming", "Start with the number"},
        {ui->modeLbl, "Switch between the number form and the advanced form", "Switch form"},
        {ui->txtURL, "Server, host:port (for example 127.0.0.1:9000)", "Server, host:port"},
        {ui->txtStreamID, "Stream ID: the name of your stream on the server", "Stream ID"},
        {ui->spbVBR, "Video bit rate, kbit/s", nullptr},
        {ui->cmbABR, "Sound bit rate, kbit/s", nullptr},
        {ui->cmbEncs, "Video encoder", nullptr},
        {ui->spbLatency, "Latency", "Latency, ms"},
        {ui->chkAdaptLatency, "", "Choose the latency from the connection"},
        {ui->cmbFrames, "Picture size sent: SD 960×540, HD 1280×720, FullHD 1920×1080", "Picture size"},
        {ui->chkCombined, "Camera and screen side by side in one picture twice as wide", "Two-frames mode"},
        {ui->txtPassphrase, "", "Passphrase, 10 to 79 characters, optional"},
        {ui->chkAdaptRate, "", "Adapt the video bit rate to the connection"},
        {ui->cmdStart, "Start streaming to the server", "Start"},
        {ui->videoBtn, "Camera: choose the video source", "Camera"},
        {ui->screenBtn, "Screen: choose a display, an area or a window", "Screen source"},
        {ui->audioBtn, "Microphone: choose the sound source", "Microphone"},
        {ui->cropBtn, "Crop: send only a part of the screen", "Crop"},
        {ui->leftArrow, "Send a left arrow to the other side", "Left arrow"},
        {ui->rightArrow, "Send a right arrow to the other side", "Right arrow"},
        {ui->pauseBtn, "Hide the screen from the broadcast for a moment (Ctrl+P)", "Pause screen"},
        {ui->stopBtn, "Stop streaming", "Stop"},
        {ui->rbScreen, "", "Screen only"},
        {ui->rbCamera, "", "Camera only"},
        {ui->rbMix, "", "Camera and screen"},
        {ui->chkSystemAudio, "Mix the computer's own sound into the stream", "Add system sound"},
        {ui->chkSmartMute, "Mute the return sound while you speak", "Smart audio"},
        {ui->frameInFrameLbl_1, "Your picture; click to see it large", "Own picture"},
        {ui->frameInFrameLbl_2, "Click to swap the two pictures", "Small picture"},
    };
    for (const Label &entry : labels)
        label(entry);
}

} // namespace FormLabels
