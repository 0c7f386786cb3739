#include "app/window/SourceMenus.h"

#include "media/engine/MFDevice.h"
#include "media/engine/MFScreenCast.h"
#include "media/engine/MFScreenCastEvents.h"

#include "app/window/DeviceRegistry.h"
#include "app/services/SettingsKeys.h"
#include "app/window/SoundProcessingChoices.h"
#include "media/Mixer.h"

#include <QAction>
#include <QCheckBox>
#include <QDebug>
#include <QGuiApplication>
#include <QMenu>
#include <QSettings>

namespace {

const QString kDisplayPrefix = QStringLiteral("CAPTURE_DISPLAY#");
const QString kAreaData = QStringLiteral("CAPTURE_SCREEN");
const QString kScreenDevice = QStringLiteral("Desktop Screen Capture");

QRect noCrop()
{
    QRect r;
    r.setCoords(0, 0, 0, 0);
    return r;
}

} // namespace

SourceMenus::SourceMenus(QMenu *videoMenu, QMenu *screenMenu, QMenu *windowsMenu, QMenu *audioMenu,
                         QSettings *settings, Mixer *mixer, QCheckBox *chkSystemAudio, QObject *parent)
    : QObject(parent), m_videoMenu(videoMenu), m_screenMenu(screenMenu), m_windowsMenu(windowsMenu),
      m_audioMenu(audioMenu), m_settings(settings), m_mixer(mixer), m_chkSystemAudio(chkSystemAudio),
      m_cropRect(noCrop()), m_soundProcessing(new SoundProcessingChoices(settings, mixer, this))
{
}

QAction *SourceMenus::addEntry(QMenu *menu, const QString &text, const QVariant &data)
{
    auto *action = new QAction(text, menu);
    action->setCheckable(true);
    if (data.isValid())
        action->setData(data);
    menu->addAction(action);
    return action;
}

void SourceMenus::clearEntries(QMenu *menu)
{
    // clear() deletes the entries the menu owns; a submenu's own action
    // belongs to the submenu and survives.
    menu->clear();
}

void SourceMenus::rebuildVideoMenu()
{
    QStringList devices;
    if (m_registry && !m_registry->isFilled())
        return;
    if (m_registry)
        devices = m_registry->videoDevices();
    else
        Mixer::enumerateDevices("VIDEO", devices);
    clearEntries(m_videoMenu);
    if (devices.isEmpty())
        addEntry(m_videoMenu, tr("Desktop"), kDisplayPrefix + "0");
    for (const QString &name : devices)
        addEntry(m_videoMenu, name);

    const QString stored = m_settings->value(SettingsKeys::VideoSource).toString();
    for (QAction *action : m_videoMenu->actions())
        if (action->text() == stored)
            return videoSourceChanged(action);
    if (!m_videoMenu->actions().isEmpty())
        videoSourceChanged(m_videoMenu->actions().first());
}

void SourceMenus::videoSourceChanged(QAction *action)
{
    if (!action)
        return;
    m_settings->setValue(SettingsKeys::VideoSource, action->text());
    if (action->data().toString().startsWith(kDisplayPrefix))
        m_mixer->setVideoDevice(kScreenDevice);
    else
        m_mixer->setVideoDevice(action->text());
}

void SourceMenus::rebuildAudioMenu()
{
    QStringList devices;
    if (m_registry && !m_registry->isFilled())
        return;
    if (m_registry)
        devices = m_registry->audioDevices();
    else
        Mixer::enumerateDevices("AUDIO", devices);
    clearEntries(m_audioMenu);
    QList<QAction *> sources;
    for (const QString &name : devices)
        sources << addEntry(m_audioMenu, name);
    m_soundProcessing->appendTo(m_audioMenu);

    const QString stored = m_settings->value(SettingsKeys::AudioSource).toString();
    for (QAction *action : sources)
        if (action->text() == stored)
            return audioSourceChanged(action);
    if (!sources.isEmpty())
        audioSourceChanged(sources.first());
}

// The menu's processing choices act by themselves; only a source entry
// changes the source.
void SourceMenus::audioSourceChanged(QAction *action)
{
    if (!action || action->isSeparator() || m_soundProcessing->owns(action))
        return;
    QString name = action->data().toString();
    if (name.isEmpty())
        name = action->text();
    m_settings->setValue(SettingsKeys::AudioSource, name);
    m_mixer->setAudioDevice(name);
    m_mixer->setSystemSound(m_chkSystemAudio && m_chkSystemAudio->isChecked());
    emit audioSourceChosen(name);
}

void SourceMenus::systemAudioChanged(int state)
{
    qDebug() << "-- on_chkSystemAudio_stateChanged";
    m_mixer->setSystemSound(state == Qt::Checked);
}

void SourceMenus::rebuildScreenMenu()
{
    clearEntries(m_screenMenu);
    const int displays = QGuiApplication::screens().size();
    if (displays <= 1) {
        addEntry(m_screenMenu, "Desktop", kDisplayPrefix + "0");
    } else {
        for (int i = 0; i < displays; ++i)
            addEntry(m_screenMenu, "Desktop" + QStringLiteral(" #") + QString::number(i),
                     kDisplayPrefix + QString::number(i));
    }
    addEntry(m_screenMenu, tr("-- select area --"), kAreaData);
    m_screenMenu->addSeparator();
    m_screenMenu->addMenu(m_windowsMenu);

    QString saved = m_settings->value(SettingsKeys::Screen).toString();
    const auto entries = m_screenMenu->actions();
    if (saved.isEmpty() && !entries.isEmpty())
        saved = entries.first()->text();
    for (QAction *action : entries) {
        if (action->parent() == m_screenMenu && !action->isSeparator() && action->text() == saved)
            return screenSourceChanged(action);
    }
    const quint64 handle = m_settings->value(SettingsKeys::WindowHandle, 0).toULongLong();
    for (QAction *action : m_windowsMenu->actions()) {
        if (action->text() != saved || action->data().toULongLong() != handle)
            continue;
        screenSourceChanged(action);
        restoreCrop();
        return;
    }
}

void SourceMenus::screenSourceChanged(QAction *action)
{
    if (!action)
        return;
    bool same = m_settings->value(SettingsKeys::Screen).toString() == action->text();
    m_settings->setValue(SettingsKeys::Screen, action->text());
    if (action->parent() == m_screenMenu) {
        int index = -1;
        QString d = action->data().toString();
        if (d == kAreaData) {
            d = kScreenDevice;
            if (m_frame.show)
                m_frame.show();
        } else {
            if (m_frame.hide)
                m_frame.hide();
            m_mixer->setArea(-1, QRect());
            if (d.startsWith(kDisplayPrefix)) {
                index = d.mid(kDisplayPrefix.size()).toInt();
                d = kScreenDevice;
            }
        }
        m_mixer->setScreenDevice(d, index);
        if (index == -1)
            m_mixer->setArea(-1, m_frame.capturedRect ? m_frame.capturedRect() : QRect());
        emit handleChanged(0);
    } else if (action->parent() == m_windowsMenu) {
        chooseWindow(action, same);
    }
    if (!same)
        resetCrop();
}

void SourceMenus::chooseWindow(QAction *action, bool &same)
{
    if (m_frame.isVisible && m_frame.isVisible()) {
        if (m_frame.hide)
            m_frame.hide();
        m_mixer->setArea(-1, QRect());
    }
    const quint64 handle = action->data().toULongLong();
    same = same && handle == m_settings->value(SettingsKeys::WindowHandle, 0).toULongLong();
    m_settings->setValue(SettingsKeys::WindowHandle, handle);
    // The portal's chooser names no X11 window that could be restored.
    if (m_restoreWindow && handle != mf::MFDevice::kPortalWindow)
        m_restoreWindow(handle);
    emit handleChanged(handle);
}

void SourceMenus::resetCrop()
{
    m_cropRect.setCoords(0, 0, 0, 0);
    m_settings->setValue(SettingsKeys::CropRect, m_cropRect);
    m_settings->setValue(SettingsKeys::CropSourceRect, m_cropRect);
    emit changeCropRect(m_cropRect);
}

void SourceMenus::restoreCrop()
{
    // The band ("CROP_RECT") is in the dialog's coordinates; the mixer is
    // given the crop in picture pixels, stored beside it.
    const QRect band = m_settings->value(SettingsKeys::CropRect, QRect()).toRect();
    const QRect source = m_settings->value(SettingsKeys::CropSourceRect, QRect()).toRect();
    if (band.isNull() || band == noCrop() || !Mixer::cropApplies(source))
        return;
    m_cropRect = band;
    emit changeCropRect(source);
}

bool SourceMenus::listWindows(const QList<WindowInfo> &windows)
{
    clearEntries(m_windowsMenu);
    const QString stored = m_settings->value(SettingsKeys::Screen).toString();
    const quint64 storedHandle = m_settings->value(SettingsKeys::WindowHandle, 0).toULongLong();
    bool anyChecked = false;
    for (const WindowInfo &window : windows) {
        QAction *action = addEntry(m_windowsMenu, window.title, QVariant::fromValue(window.handle));
        action->setChecked(window.title == stored && window.handle == storedHandle);
        anyChecked = anyChecked || action->isChecked();
    }
    return anyChecked;
}

// Only the menu's own entries: not its separators or choices of other kinds.
void SourceMenus::checkByText(QMenu *menu, const QString &stored)
{
    QList<QAction *> actions;
    for (QAction *action : menu->actions())
        if (action->parent() == menu && !action->isSeparator())
            actions << action;
    for (QAction *action : actions)
        action->setChecked(action->text() == stored);
    if (stored.isEmpty() && !actions.isEmpty())
        actions.first()->setChecked(true);
}

void SourceMenus::videoMenuShowed()
{
    checkByText(m_videoMenu, m_settings->value(SettingsKeys::VideoSource).toString());
}

void SourceMenus::audioMenuShowed()
{
    checkByText(m_audioMenu, m_settings->value(SettingsKeys::AudioSource).toString());
}

bool SourceMenus::fillWindowsMenu()
{
    if (mf::MFScreenCast::portalChosen())
        return listPortalWindow(mf::MFScreenCast::offer().sourceTypes & mf::MFPortalSession::Window);
    return m_fillWindows ? m_fillWindows() : false;
}

const QString SourceMenus::kChooseWindowText = QStringLiteral("Choose a window\u2026");

bool SourceMenus::listPortalWindow(bool offered)
{
    clearEntries(m_windowsMenu);
    QAction *action = addEntry(m_windowsMenu, kChooseWindowText, QVariant::fromValue(mf::MFDevice::kPortalWindow));
    const QString stored = m_settings->value(SettingsKeys::Screen).toString();
    const quint64 storedHandle = m_settings->value(SettingsKeys::WindowHandle, 0).toULongLong();
    action->setChecked(offered && stored == kChooseWindowText && storedHandle == mf::MFDevice::kPortalWindow);
    if (!offered) {
        const QString reason = QString::fromLatin1(mf::MFScreenCastEvents::kWindowsNotOffered);
        action->setEnabled(false);
        action->setToolTip(reason);
        addEntry(m_windowsMenu, reason)->setEnabled(false);
    }
    return action->isChecked();
}

void SourceMenus::screenMenuShowed()
{
    const bool windowChecked = fillWindowsMenu();
    const QString stored = m_settings->value(SettingsKeys::Screen).toString();
    bool anyChecked = false;
    QList<QAction *> entries;
    for (QAction *action : m_screenMenu->actions()) {
        if (action->parent() != m_screenMenu || action->isSeparator())
            continue;
        entries.append(action);
        action->setChecked(action->text() == stored);
        anyChecked = anyChecked || action->isChecked();
    }
    if ((stored.isEmpty() || (!windowChecked && !anyChecked)) && !entries.isEmpty())
        entries.first()->setChecked(true);
}
