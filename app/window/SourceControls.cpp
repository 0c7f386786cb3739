#include "app/window/SourceControls.h"

#include "app/window/DeviceRegistry.h"
#include "app/services/SettingsKeys.h"
#include "app/window/SourceMenus.h"
#include "app/widgets/TLevelMeter.h"
#include "media/Mixer.h"
#include "media/engine/DevicePixels.h"
#include "overlay/TAppController.h"
#include "overlay/TCropDlg.h"
#include "overlay/WCapture.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QSettings>

namespace {
// With no stored geometry the crop dialog opens at two thirds of the
// screen's width and height.
constexpr double kCropDialogShrink = 1.5;
} // namespace

SourceControls::SourceControls(const Widgets &widgets, QSettings *settings, Mixer *mixer, WCapture *captureFrame,
                               std::function<void(QWidget *)> keepAbove)
    : QObject(widgets.window)
    , m_ui(widgets)
    , m_settings(settings)
    , m_mixer(mixer)
    , m_captureFrame(captureFrame)
    , m_keepAbove(std::move(keepAbove))
{
    createMenus();
    addLevelMeter();
}

QRect SourceControls::cropRect() const
{
    return m_menus->cropRect();
}

// The menus are the window's children, built in this order: video, screen,
// the window list, audio.
void SourceControls::createMenus()
{
    auto *videoMenu = new QMenu(m_ui.window);
    auto *screenMenu = new QMenu(m_ui.window);
    auto *windowsMenu = new QMenu(QStringLiteral("Active windows"), m_ui.window);
    auto *audioMenu = new QMenu(m_ui.window);
    m_menus = new SourceMenus(videoMenu, screenMenu, windowsMenu, audioMenu, m_settings, m_mixer,
                              m_ui.chkSystemAudio, this);
    QRect noCrop;
    noCrop.setCoords(0, 0, 0, 0);
    m_menus->setCropRect(noCrop);
    connect(videoMenu, &QMenu::aboutToShow, m_menus, &SourceMenus::videoMenuShowed);
    connect(videoMenu, &QMenu::triggered, m_menus, &SourceMenus::videoSourceChanged);
    connect(screenMenu, &QMenu::aboutToShow, m_menus, &SourceMenus::screenMenuShowed);
    connect(screenMenu, &QMenu::triggered, m_menus, &SourceMenus::screenSourceChanged);
    connect(audioMenu, &QMenu::aboutToShow, m_menus, &SourceMenus::audioMenuShowed);
    connect(audioMenu, &QMenu::triggered, m_menus, &SourceMenus::audioSourceChanged);

    // The devices are looked up off the GUI thread; the menus fill once they are known.
    m_registry = new DeviceRegistry(this);
    m_menus->setDeviceRegistry(m_registry);
    connect(m_registry, &DeviceRegistry::updated, m_menus, [this] {
        m_menus->rebuildVideoMenu();
        m_menus->rebuildAudioMenu();
    });
    connect(videoMenu, &QMenu::aboutToShow, m_registry, &DeviceRegistry::refresh);
    connect(audioMenu, &QMenu::aboutToShow, m_registry, &DeviceRegistry::refresh);
    m_registry->refresh();
    // The sound captured is named on its button: a changed default device shows at once.
    connect(m_menus, &SourceMenus::audioSourceChosen, m_ui.audioBtn, [this](const QString &name) {
        m_ui.audioBtn->setToolTip(QStringLiteral("Microphone: choose the sound source (now: %1)").arg(name));
    });
    connect(m_menus, &SourceMenus::handleChanged, this, &SourceControls::handleChanged);
    connect(m_menus, &SourceMenus::changeCropRect, this, &SourceControls::changeCropRect);
    connectWindowPicker();
    m_menus->rebuildVideoMenu();
    m_menus->rebuildScreenMenu();
    m_menus->rebuildAudioMenu();
    m_ui.videoBtn->setMenu(videoMenu);
    m_ui.screenBtn->setMenu(screenMenu);
    m_ui.audioBtn->setMenu(audioMenu);
}

void SourceControls::connectWindowPicker()
{
    SourceMenus::CaptureFrame frame;
    WCapture *capture = m_captureFrame;
    frame.isVisible = [capture] { return capture->isVisible(); };
    frame.show = [this, capture] {
        capture->showFrame();
        m_keepAbove(capture);
    };
    frame.hide = [capture] { capture->hide(); };
    frame.capturedRect = [capture] { return mf::DevicePixels::toDevice(capture->captureRect()); };
    m_menus->setCaptureFrame(frame);
    m_menus->setWindowListFiller([this] { return m_menus->listWindows(TAppController().getWindows()); });
    m_menus->setWindowRestorer([](quint64 handle) {
        if (TAppController::isIconic(handle))
            TAppController::restore(handle);
    });
    m_menus->listWindows(TAppController().getWindows());
}

// Beside the microphone button: whether the chosen sound is really captured.
void SourceControls::addLevelMeter()
{
    auto *meter = new TLevelMeter(m_ui.audioBtn->parentWidget());
    m_ui.buttonRow->insertWidget(m_ui.buttonRow->indexOf(m_ui.audioBtn) + 1, meter);
    Mixer *source = m_mixer;
    meter->setSource([source] { return source->meterLevel(); });
}

void SourceControls::openCropDialog()
{
    TCropDlg dialog(m_ui.window);
    // Frames reach the dialog only while it is open.
    connect(m_mixer, &Mixer::frameChanged, &dialog, &TCropDlg::frameChanged);
    dialog.setModal(true);
    const QByteArray geometry = m_settings->value(SettingsKeys::CropDialogGeometry, QByteArray()).toByteArray();
    if (!geometry.isEmpty()) {
        dialog.restoreGeometry(geometry);
    } else {
        const QRect screen = m_ui.window->screen()->geometry();
        dialog.resize(QSize(int(screen.width() / kCropDialogShrink), int(screen.height() / kCropDialogShrink)));
    }
    if (Mixer::cropApplies(cropRect()))
        dialog.setRubberBandGeometry(cropRect());

    const int result = dialog.exec();
    if (result != TCropDlg::Reset && result != TCropDlg::Apply)
        return;
    m_settings->setValue(SettingsKeys::CropDialogGeometry, dialog.saveGeometry());
    QRect band;
    band.setCoords(0, 0, 0, 0);
    QRect sourceCrop = band;
    // Apply before any picture arrived has nothing to crop to: no crop.
    if (result == TCropDlg::Apply && Mixer::cropApplies(dialog.sourceCropRect())) {
        band = dialog.rubberBandGeometry();
        sourceCrop = dialog.sourceCropRect();
    }
    m_menus->setCropRect(band);
    m_settings->setValue(SettingsKeys::CropRect, band);
    m_settings->setValue(SettingsKeys::CropSourceRect, sourceCrop);
    emit changeCropRect(sourceCrop);
}
