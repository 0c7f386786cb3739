#pragma once
#include <QObject>
#include <QRect>
#include <QVariant>

#include "overlay/TAppController.h"

#include <functional>

class QAction;
class QCheckBox;
class QMenu;
class QSettings;
class DeviceRegistry;
class Mixer;
class SoundProcessingChoices;

// The video, screen and audio source menus: fills them from the devices,
// restores the previous choice from the settings, keeps the check marks and
// hands every choice to the mixer. Owns nothing of the window it serves.
class SourceMenus : public QObject
{
    Q_OBJECT
public:
    // What the menus need of the on-screen capture frame.
    struct CaptureFrame
    {
        std::function<bool()> isVisible;
        std::function<void()> show;
        std::function<void()> hide;
        std::function<QRect()> capturedRect;
    };

    SourceMenus(QMenu *videoMenu, QMenu *screenMenu, QMenu *windowsMenu, QMenu *audioMenu,
                QSettings *settings, Mixer *mixer, QCheckBox *chkSystemAudio, QObject *parent = nullptr);

    void setCaptureFrame(const CaptureFrame &frame) { m_frame = frame; }
    // Fills windowsMenu and says whether one of its entries got checked.
    void setWindowListFiller(std::function<bool()> fill) { m_fillWindows = std::move(fill); }
    // Brings a minimised window back before it is captured.
    void setWindowRestorer(std::function<void(quint64)> restore) { m_restoreWindow = std::move(restore); }

    // With a registry the video and audio menus take its lists (and stay as
    // they are until its first look-up is done) instead of looking the
    // devices up themselves.
    void setDeviceRegistry(DeviceRegistry *registry) { m_registry = registry; }

    // Rebuilds windowsMenu from these windows; true when the stored choice is among them.
    bool listWindows(const QList<WindowInfo> &windows);
    // On a desktop whose windows only its portal can show: the one entry
    // that opens the portal's window chooser, disabled (with the reason
    // beneath it) where the portal offers no windows. True when it is the
    // stored choice.
    bool listPortalWindow(bool offered);
    static const QString kChooseWindowText;

    // The crop band in the crop dialog's coordinates ("CROP_RECT").
    QRect cropRect() const { return m_cropRect; }
    void setCropRect(const QRect &rect) { m_cropRect = rect; }

    void rebuildVideoMenu();
    void rebuildScreenMenu();
    void rebuildAudioMenu();

public slots:
    void videoMenuShowed();
    void screenMenuShowed();
    void audioMenuShowed();
    void videoSourceChanged(QAction *action);
    void screenSourceChanged(QAction *action);
    void audioSourceChanged(QAction *action);
    void systemAudioChanged(int state);

signals:
    void handleChanged(quint64 handle);
    // The sound device now captured (also when a stored choice is restored).
    void audioSourceChosen(const QString &name);
    // The crop in pixels of the screen picture, for the mixer.
    void changeCropRect(QRect rect);

private:
    QAction *addEntry(QMenu *menu, const QString &text, const QVariant &data = QVariant());
    static void clearEntries(QMenu *menu);
    void checkByText(QMenu *menu, const QString &stored);
    bool fillWindowsMenu();
    void chooseWindow(QAction *action, bool &same);
    void resetCrop();
    void restoreCrop();

    QMenu *m_videoMenu;
    QMenu *m_screenMenu;
    QMenu *m_windowsMenu;
    QMenu *m_audioMenu;
    QSettings *m_settings;
    Mixer *m_mixer;
    QCheckBox *m_chkSystemAudio;
    CaptureFrame m_frame;
    std::function<bool()> m_fillWindows;
    std::function<void(quint64)> m_restoreWindow;
    QRect m_cropRect;
    SoundProcessingChoices *m_soundProcessing;
    DeviceRegistry *m_registry = nullptr;
};
