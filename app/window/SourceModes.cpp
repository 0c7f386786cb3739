#include "app/window/SourceModes.h"

#include "media/Mixer.h"
#include "overlay/WCapture.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QPushButton>
#include <QRadioButton>

SourceModes::SourceModes(const Widgets &widgets, Mixer *mixer, WCapture *captureFrame)
    : m_ui(widgets), m_mixer(mixer), m_captureFrame(captureFrame)
{
}

void SourceModes::enableScreenButtons(bool usable)
{
    m_ui.screenBtn->setEnabled(usable);
    m_ui.cropBtn->setEnabled(usable);
}

void SourceModes::choose(Picture::Layout layout)
{
    // The camera alone leaves the screen to the two-frames mode.
    enableScreenButtons(layout != Picture::CameraOnly || m_ui.chkCombined->isChecked());
    m_mixer->setLayout(layout);
    if (layout == Picture::CameraOnly)
        m_captureFrame->hide();
}

bool SourceModes::handleKey(const QKeyEvent *event)
{
    if (!m_ui.radioGroup->isVisible() || event->modifiers() != Qt::ControlModifier)
        return false;
    const struct
    {
        int key;
        QRadioButton *button;
        Picture::Layout layout;
    } keys[] = {
        {Qt::Key_1, m_ui.rbCamera, Picture::CameraOnly},
        {Qt::Key_2, m_ui.rbScreen, Picture::ScreenOnly},
        {Qt::Key_3, m_ui.rbMix, Picture::ScreenWithCamera},
    };
    for (const auto &entry : keys) {
        if (event->key() != entry.key)
            continue;
        entry.button->setChecked(true);
        choose(entry.layout);
        return true;
    }
    return false;
}

void SourceModes::twoFramesChanged(int state)
{
    m_ui.sourceFrame->setVisible(state == 0);
    enableScreenButtons(state != 0 || !m_ui.rbCamera->isChecked());
}

void SourceModes::showForTwoFrames(bool twoFrames)
{
    m_ui.radioGroup->setVisible(!twoFrames);
}
