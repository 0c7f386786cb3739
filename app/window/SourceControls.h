#pragma once
#include <QObject>
#include <QRect>

#include <functional>

class DeviceRegistry;
class Mixer;
class QBoxLayout;
class QCheckBox;
class QMenu;
class QPushButton;
class QSettings;
class QWidget;
class SourceMenus;
class WCapture;

// The source buttons of the main window: the video, screen (with its window
// list) and audio menus on their buttons, the device look-up behind them,
// the capture frame and window picker they use, the crop dialog of the crop
// button and the sound level meter beside the microphone. The crop
// rectangle the user chose is kept in the source menus, which store and
// restore it; the mixer keeps its own copy in picture pixels.
class SourceControls : public QObject
{
    Q_OBJECT
public:
    // The source buttons, the row they stand in (the level meter joins it)
    // and the system sound box the audio menu ticks.
    struct Widgets
    {
        QWidget *window;
        QPushButton *videoBtn;
        QPushButton *screenBtn;
        QPushButton *audioBtn;
        QBoxLayout *buttonRow;
        QCheckBox *chkSystemAudio;
    };

    // keepAbove ties a window opened from here above the main window.
    SourceControls(const Widgets &widgets, QSettings *settings, Mixer *mixer, WCapture *captureFrame,
                   std::function<void(QWidget *)> keepAbove);

    SourceMenus *menus() const { return m_menus; }
    // The crop band in the crop dialog's coordinates; null: no crop.
    QRect cropRect() const;
    // The crop button: the dialog over the newest screen picture.
    void openCropDialog();

signals:
    void handleChanged(quint64 handle);
    // The crop in pixels of the screen picture, for the mixer.
    void changeCropRect(QRect rect);

private:
    void createMenus();
    void connectWindowPicker();
    void addLevelMeter();

    Widgets m_ui;
    QSettings *m_settings;
    Mixer *m_mixer;
    WCapture *m_captureFrame;
    std::function<void(QWidget *)> m_keepAbove;
    SourceMenus *m_menus = nullptr;
    DeviceRegistry *m_registry = nullptr;
};
