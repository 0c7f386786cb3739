#include "app/MainWindow.h"
#include "app/ScreenShareStatus.h"

#include "ui_MainWindow.h"

#include "OrvantaVersion.h"

#include "app/BroadcastPlan.h"
#include "app/BroadcastSession.h"
#include "app/DeploymentSettings.h"
#include "app/DeviceRegistry.h"
#include "app/DistributiveExporter.h"
#include "app/FormLabels.h"
#include "app/InstanceFolder.h"
#include "app/LinkSharing.h"
#include "app/LogsDlg.h"
#include "app/NumberLookup.h"
#include "app/PassphraseField.h"
#include "app/ServerField.h"
#include "app/SettingsKeys.h"
#include "app/SourceMenus.h"
#include "app/SpeedTest.h"
#include "app/StatusArea.h"
#include "app/StreamLink.h"
#include "app/TElidedLabel.h"
#include "app/TImageWidget.h"
#include "app/TLevelMeter.h"
#include "app/TLabel.h"
#include "app/TNumberEdit.h"
#include "app/UpdateChecker.h"
#include "diagnostics/LogLine.h"
#include "diagnostics/SystemReport.h"
#include "media/EncoderConfig.h"
#include "media/Mixer.h"
#include "media/PlayerWorker.h"
#include "media/engine/DevicePixels.h"
#include "media/engine/MFCatalog.h"
#include "media/engine/MFPreview.h"
#include "media/engine/MFWriter.h"
#include "overlay/TAppController.h"
#include "overlay/TCropDlg.h"
#include "overlay/WindowStacking.h"
#include "transport/ArrowSender.h"
#include "transport/SrtConnect.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QThread>

#include <algorithm>

namespace {

constexpr int kVuPeriodMs = 400;
constexpr int kCpuPeriodMs = 3000;
constexpr int kFrameModeSingle = 10;
constexpr int kFrameModeDouble = 20;
constexpr int kLayoutCamera = 10;
constexpr int kLayoutScreen = 20;
constexpr int kLayoutMix = 30;
constexpr int kAdvancedFormHeight = 135;
constexpr float kLoudLevelDb = -19.0f;
constexpr int kMuteHoldMs = 600;
constexpr int kStatusMessageMs = 5000;

// The codec and device sections of the system report.
MediaReport collectMediaReport()
{
    MediaReport report;
    report.containers = mf::MFCatalog::containers();
    for (const QString &container : qAsConst(report.containers)) {
        report.videoCodecs += mf::MFCatalog::videoCodecs(container);
        report.audioCodecs += mf::MFCatalog::audioCodecs(container);
    }
    Mixer::enumerateDevices(QStringLiteral("VIDEO"), report.videoDevices);
    Mixer::enumerateDevices(QStringLiteral("AUDIO"), report.audioDevices);
    return report;
}

void setFixedSizeRange(QWidget *widget, const QSize &size)
{
    widget->setMinimumSize(size);
    widget->setMaximumSize(size);
}

void setFixedHeightRange(QWidget *widget, int height)
{
    widget->setMinimumHeight(height);
    widget->setMaximumHeight(height);
}

} // namespace

MainWindow::MainWindow(const QString &link, QWidget *parent)
    : QMainWindow(parent)
    , vuTimer()
    , cropRect()
{
    mixerStarted = false;

    constructForm();

    // The log viewer has no parent and lives as long as the process.
    SystemReport::setMediaReportProvider(collectMediaReport);
    logsDlg = new LogsDlg(nullptr);
    speedTest = new SpeedTest(this);
    speedTest->setStyleSheet(QLatin1String(SpeedTest::kStyleSheet));
    connect(speedTest, &SpeedTest::videoRateChosen, ui->spbVBR, &QSpinBox::setValue);

    QSettings::setDefaultFormat(QSettings::IniFormat);
    // Parented to the window so the store is flushed and freed with it.
    settings = new QSettings(QSettings::IniFormat, QSettings::UserScope,
                             SettingsKeys::Organisation, SettingsKeys::Application, this);
    setWindowTitle(QStringLiteral("Orvanta"));
    streaming = false;

    // Lives until the process ends, like the other long-lived workers.
    mixer = new Mixer();
    connect(this, &MainWindow::handleChanged, mixer, &Mixer::handleChanged);
    connect(this, &MainWindow::changeCropRect, mixer, &Mixer::cropRectChanged);

    ui->cmbFrames->addItem(QStringLiteral("SD"), QSize(960, 540));
    ui->cmbFrames->addItem(QStringLiteral("HD"), QSize(1280, 720));
    ui->cmbFrames->addItem(QStringLiteral("FullHD"), QSize(1920, 1080));

    loadSettings(link);
    applyModeSetting();

    mixer->setLogTarget(logsDlg);
    connect(&captureFrame, &WCapture::onNewPosition, this, &MainWindow::captureFrameMoved);
    // Until the frame stands at its real place the area set for it is a
    // guess: nothing new of the desktop goes out meanwhile.
    connect(&captureFrame, &WCapture::placementChanged, this,
            [this](bool placed) { mixer->holdScreen(captureFrame.isVisible() && !placed); });

    prepareTemporaryFolder();

    player = new PlayerWorker();
    player->setSplashPath(splashPath);
    updateChecker = new UpdateChecker(settings, this, this);
    updateChecker->check(updateUrl());

    ui->chkSystemAudio->setVisible(false);
    addStatusLabels();
    new ScreenShareStatus(settings, ui->statusbar, this);
    createSession();

    mixerStarted = true;
    startMixer(0);

    connect(&vuTimer, &QTimer::timeout, this, &MainWindow::onVUAnalyze);
    vuTimer.start(kVuPeriodMs);
    ui->chkSmartMute->setChecked(false);

    startCpuIndicator();
    ui->lblStudioPreview->setText(QString());

    connectControls();

    ui->stackedWidget->setCurrentIndex(ConnectionPage);
    setFixedHeightRange(ui->bottomFrame, 0);
    resize(620, 440);

    connect(ui->frameInFrameLbl_1, &TLabel::clicked, this, &MainWindow::frameInFrameClicked);
    connect(ui->frameInFrameLbl_2, &TLabel::clicked, this, &MainWindow::frameInFrameClicked);
    connect(ui->stackedWidget, &QStackedWidget::currentChanged, this, &MainWindow::currentPageChanged);

    restoreWindow();
    createSourceMenus();

    connect(ui->cropBtn, &QPushButton::clicked, this, &MainWindow::cropBtnClicked);
    prepareArrowButtons();

    ui->connectionStack->setCurrentIndex(SimplePage);
    connect(ui->modeLbl, &TLabel::clicked, this, &MainWindow::switchConnectionPage);
    connect(ui->numberEdit, &TNumberEdit::enterPressed, this, &MainWindow::orvaLinkRequest);
    numberLookup = new NumberLookup(this, this);
    connect(numberLookup, &NumberLookup::replyFinished, this, &MainWindow::orvaReplyRecieved);
    connect(numberLookup, &NumberLookup::linkReceived, this, [this](const QString &url) {
        loadSettings(url);
        ui->cmdStart->click();
    });

    const QString number = settings->value(SettingsKeys::Number).toString();
    if (!number.isEmpty())
        ui->numberEdit->setText(number);

    if (isLink(link))
        ui->cmdStart->click();
}

MainWindow::~MainWindow()
{
    // The worker threads end here, before the process unloads the libraries
    // they run in; a thread still running at exit would crash it.
    if (streaming)
        stopStreaming();
    // The session's thread uses the mixer and the player: it ends first.
    session.reset();
    delete player;
    delete mixer;
    delete logsDlg;
    delete ui;
}

void MainWindow::constructForm()
{
    ui = new Ui::MainWindow;
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
    FormLabels::apply(ui);
    ui->spbVBR->setSuffix(QStringLiteral(" kbit/s"));
}

void MainWindow::prepareTemporaryFolder()
{
    // The feedback player shows splash.png while its stream connects. Each
    // instance has a folder of its own, so nothing another user or another
    // instance put in a shared place is written to or removed.
    temporaryFolder = std::make_unique<InstanceFolder>();
    splashPath = temporaryFolder->addCopy(QStringLiteral(":/splash"), QStringLiteral("splash.png"));
}

void MainWindow::addStatusLabels()
{
    // The version gives way to the broadcast's state on a narrow window; its
    // tool tip keeps it whole.
    auto *version = new TElidedLabel(this);
    version->setObjectName(QStringLiteral("versionLabel"));
    version->setText(QStringLiteral(" ver %1 (build %2)").arg(QLatin1String(ORVANTA_VERSION)).arg(ORVANTA_BUILD_NUMBER));
    version->setToolTip(version->text().trimmed());
    ui->statusbar->addWidget(version, 0);
}

void MainWindow::startCpuIndicator()
{
    cpuTimer = new QTimer(this);
    cpuTimer->start(kCpuPeriodMs);
    auto *cpuLabel = new QLabel(this);
    cpuLabel->setObjectName(QStringLiteral("cpuLabel"));
    ui->statusbar->addPermanentWidget(cpuLabel, 0);
    connect(cpuTimer, &QTimer::timeout, cpuLabel, [this, cpuLabel] { cpuLabel->setText(cpuLoad.update()); });
    // Shown from the start (the load since boot), not only after the first period.
    cpuLabel->setText(cpuLoad.update());
    cpuLabel->setToolTip(QStringLiteral("Total CPU activity"));
}

void MainWindow::connectControls()
{
    connect(ui->startBtn_1, &QPushButton::clicked, this, &MainWindow::orvaLinkRequest);
    connect(ui->cmdStart, &QPushButton::clicked, this, &MainWindow::toggleStreaming);
    connect(ui->stopBtn, &QPushButton::clicked, this, &MainWindow::toggleStreaming);
    ui->stopBtn->hide();
}

void MainWindow::restoreWindow()
{
    restoreState(settings->value(SettingsKeys::State).toByteArray());
    restoreGeometry(settings->value(SettingsKeys::Geometry).toByteArray());
}

void MainWindow::createSourceMenus()
{
    videoMenu = new QMenu(this);
    connect(videoMenu, &QMenu::aboutToShow, this, &MainWindow::videoMenuShowed);
    connect(videoMenu, &QMenu::triggered, this, &MainWindow::videoSourceChanged);
    screenMenu = new QMenu(this);
    connect(screenMenu, &QMenu::aboutToShow, this, &MainWindow::screenMenuShowed);
    connect(screenMenu, &QMenu::triggered, this, &MainWindow::screenSourceChanged);
    windowsMenu = new QMenu(QStringLiteral("Active windows"), this);
    audioMenu = new QMenu(this);
    connect(audioMenu, &QMenu::aboutToShow, this, &MainWindow::audioMenuShowed);
    connect(audioMenu, &QMenu::triggered, this, &MainWindow::audioSourceChanged);

    cropRect.setCoords(0, 0, 0, 0);
    sourceMenus = new SourceMenus(videoMenu, screenMenu, windowsMenu, audioMenu, settings, mixer,
                                  ui->chkSystemAudio, this);
    sourceMenus->setCropRect(cropRect);
    // The devices are looked up off the GUI thread; the menus fill once they are known.
    deviceRegistry = new DeviceRegistry(this);
    sourceMenus->setDeviceRegistry(deviceRegistry);
    connect(deviceRegistry, &DeviceRegistry::updated, sourceMenus, [this] {
        sourceMenus->rebuildVideoMenu();
        sourceMenus->rebuildAudioMenu();
    });
    connect(videoMenu, &QMenu::aboutToShow, deviceRegistry, &DeviceRegistry::refresh);
    connect(audioMenu, &QMenu::aboutToShow, deviceRegistry, &DeviceRegistry::refresh);
    deviceRegistry->refresh();
    connect(sourceMenus, &SourceMenus::handleChanged, this, &MainWindow::handleChanged);
    connect(sourceMenus, &SourceMenus::changeCropRect, this, [this](QRect rect) {
        cropRect = sourceMenus->cropRect();
        emit changeCropRect(rect);
    });
    connectWindowPicker();
    sourceMenus->rebuildVideoMenu();
    sourceMenus->rebuildScreenMenu();
    sourceMenus->rebuildAudioMenu();
    ui->videoBtn->setMenu(videoMenu);
    ui->screenBtn->setMenu(screenMenu);
    ui->audioBtn->setMenu(audioMenu);
    addLevelMeter();
}

// Beside the microphone button: whether the chosen sound is really captured.
void MainWindow::addLevelMeter()
{
    auto *meter = new TLevelMeter(ui->controlFrame);
    ui->horizontalLayout_2->insertWidget(ui->horizontalLayout_2->indexOf(ui->audioBtn) + 1, meter);
    Mixer *source = mixer;
    meter->setSource([source] { return source->meterLevel.load(std::memory_order_relaxed); });
}

void MainWindow::connectWindowPicker()
{
    SourceMenus::CaptureFrame frame;
    frame.isVisible = [this] { return captureFrame.isVisible(); };
    frame.show = [this] {
        captureFrame.showFrame();
        keepAboveMe(&captureFrame);
    };
    frame.hide = [this] { captureFrame.hide(); };
    frame.capturedRect = [this] { return mf::DevicePixels::toDevice(captureFrame.captureRect()); };
    sourceMenus->setCaptureFrame(frame);
    sourceMenus->setWindowListFiller([this] { return sourceMenus->listWindows(TAppController().getWindows()); });
    sourceMenus->setWindowRestorer([](quint64 handle) {
        if (TAppController::isIconic(handle))
            TAppController::restore(handle);
    });
    sourceMenus->listWindows(TAppController().getWindows());
}

void MainWindow::prepareArrowButtons()
{
    ArrowSender *arrows = player->arrowSender();
    connect(ui->leftArrow, &QPushButton::clicked, arrows, [arrows] { arrows->arrowClicked(true); });
    connect(ui->rightArrow, &QPushButton::clicked, arrows, [arrows] { arrows->arrowClicked(false); });
    ui->leftArrow->hide();
    ui->rightArrow->hide();
    ui->leftArrow->setIcon(QIcon(QStringLiteral(":/arrowLeft.png")));
    ui->rightArrow->setIcon(QIcon(QStringLiteral(":/arrowRight.png")));
    ui->leftArrow->setIconSize(QSize(30, 23));
    ui->rightArrow->setIconSize(QSize(30, 23));
}

void MainWindow::applyModeSetting()
{
    const QString mode = settings->value(SettingsKeys::Mode, QString()).toString();
    if (mode.isEmpty() || mode == QLatin1String("CAMERA"))
        ui->rbCamera->click();
    else if (mode == QLatin1String("SCREEN"))
        ui->rbScreen->click();
    else if (mode == QLatin1String("MIX"))
        ui->rbMix->click();
}

// ---------------------------------------------------------------- settings

QString MainWindow::temporaryFolderPath() const
{
    return temporaryFolder->path();
}

QString MainWindow::lookupOrigin() const
{
    return DeploymentSettings::lookupOrigin(*settings);
}

QString MainWindow::updateUrl() const
{
    return DeploymentSettings::updateUrl(*settings);
}

void MainWindow::loadSettings(const QString &link)
{
    fillEncoderList();
    ui->cmbABR->clear();
    ui->cmbABR->addItems({QStringLiteral("64"), QStringLiteral("128"), QStringLiteral("256")});

    ui->txtURL->setText(settings->value(SettingsKeys::Url).toString());
    ui->txtStreamID->setText(settings->value(SettingsKeys::StreamId).toString());
    ui->txtPassphrase->setText(settings->value(SettingsKeys::Passphrase).toString());
    ui->spbVBR->setValue(settings->value(SettingsKeys::VideoBitRate).toInt());
    ui->cmbABR->setCurrentText(settings->value(SettingsKeys::AudioBitRate).toString());
    ui->cmbEncs->setCurrentText(settings->value(SettingsKeys::Encoder).toString());
    ui->cmbFrames->setCurrentText(settings->value(SettingsKeys::Frame, QStringLiteral("HD")).toString());

    const bool combined = settings->value(SettingsKeys::Combined, false).toBool()
                          && !ui->rbCamera->isChecked();
    ui->chkCombined->setChecked(combined);
    on_chkCombined_stateChanged(ui->chkCombined->checkState());

    ui->chkSystemAudio->setChecked(settings->value(SettingsKeys::SystemAudio, false).toBool());
    ui->chkAdaptRate->setChecked(settings->value(SettingsKeys::AdaptRate, true).toBool());
    on_chkSystemAudio_stateChanged(ui->chkSystemAudio->checkState());

    if (!link.isEmpty())
        applyLink(link);
}

void MainWindow::fillEncoderList()
{
    ui->cmbEncs->clear();
    for (const EncoderConfig::Encoder &row : EncoderConfig::offeredEncoders(mf::MFWriter::availableVideoCodecs()))
        ui->cmbEncs->addItem(row.text, row.codec);
}

void MainWindow::applyLink(const QString &link)
{
    const StreamLink parsed(link);
    if (!parsed.isLink()) {
        qDebug() << "-- link without \"://\" ignored";
        return;
    }
    if (!parsed.field(StreamLink::Server).isEmpty())
        ui->txtURL->setText(parsed.field(StreamLink::Server));
    if (!parsed.field(StreamLink::StreamId).isEmpty())
        ui->txtStreamID->setText(parsed.field(StreamLink::StreamId));
    if (!parsed.field(StreamLink::VideoBitRate).isEmpty())
        ui->spbVBR->setValue(parsed.field(StreamLink::VideoBitRate).toInt());
    if (!parsed.field(StreamLink::AudioBitRate).isEmpty())
        ui->cmbABR->setCurrentText(parsed.field(StreamLink::AudioBitRate));
    if (!parsed.field(StreamLink::FrameName).isEmpty())
        ui->cmbFrames->setCurrentText(parsed.field(StreamLink::FrameName));
    ui->chkCombined->setChecked(parsed.twoFrames());
    // Like the sixth field, a link always decides: one without a passphrase connects unencrypted.
    ui->txtPassphrase->setText(LinkSharing::passphraseFromField(parsed.field(StreamLink::Passphrase)));
}

bool MainWindow::isLink(const QString &text)
{
    return StreamLink(text).isLink();
}

void MainWindow::saveSettings()
{
    settings->setValue(SettingsKeys::Encoder, ui->cmbEncs->currentText());
    settings->setValue(SettingsKeys::Combined, ui->chkCombined->isChecked());
    settings->setValue(SettingsKeys::SystemAudio, ui->chkSystemAudio->isChecked());
    settings->setValue(SettingsKeys::AdaptRate, ui->chkAdaptRate->isChecked());
    settings->setValue(SettingsKeys::AudioBitRate, ui->cmbABR->currentText());
    settings->setValue(SettingsKeys::VideoBitRate, ui->spbVBR->value());
    settings->setValue(SettingsKeys::Url, ui->txtURL->text());
    settings->setValue(SettingsKeys::StreamId, ui->txtStreamID->text());
    settings->setValue(SettingsKeys::Passphrase, ui->txtPassphrase->text());
    settings->setValue(SettingsKeys::Frame, ui->cmbFrames->currentText());
    if (ui->rbCamera->isChecked())
        settings->setValue(SettingsKeys::Mode, QStringLiteral("CAMERA"));
    else if (ui->rbScreen->isChecked())
        settings->setValue(SettingsKeys::Mode, QStringLiteral("SCREEN"));
    else if (ui->rbMix->isChecked())
        settings->setValue(SettingsKeys::Mode, QStringLiteral("MIX"));
    settings->setValue(SettingsKeys::Geometry, saveGeometry());
    settings->setValue(SettingsKeys::State, saveState(0));
}

// ---------------------------------------------------------------- events

void MainWindow::closeEvent(QCloseEvent *event)
{
    temporaryFolder->remove();
    captureFrame.hide();
    saveSettings();
    // Written at once: the process may end right after the event loop returns.
    settings->sync();
    event->accept();
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    event->accept();
    currentPageChanged(ui->stackedWidget->currentIndex());
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    event->accept();
    currentPageChanged(ui->stackedWidget->currentIndex());
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    // The window manager takes a window as another's transient only once
    // that other is one of its own: a frame shown from the settings before
    // this window came up is tied to it again when it is first active.
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && captureFrame.isVisible())
        keepAboveMe(&captureFrame);
}

void MainWindow::keyPressEvent(QKeyEvent *e)
{
    if (!ui->radioGroup->isVisible() || e->modifiers() != Qt::ControlModifier)
        return;
    switch (e->key()) {
    case Qt::Key_1:
        ui->rbCamera->setChecked(true);
        on_rbCamera_clicked(true);
        break;
    case Qt::Key_2:
        ui->rbScreen->setChecked(true);
        on_rbScreen_clicked(true);
        break;
    case Qt::Key_3:
        ui->rbMix->setChecked(true);
        on_rbMix_clicked(true);
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------- broadcast

void MainWindow::toggleStreaming()
{
    if (streaming)
        stopStreaming();
    else
        startStreaming();
}

void MainWindow::openLink(const QString &link)
{
    // The link may carry a passphrase: it is not logged.
    qDebug() << (isLink(link) ? "-- link from a later start" : "-- raised by a later start");
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
    if (!isLink(link))
        return;
    if (streaming)
        stopStreaming();
    loadSettings(link);
    ui->cmdStart->click();
}

bool MainWindow::startStreaming()
{
    const ServerField server(ui->txtURL->text());
    if (!server.hasPort()) {
        QMessageBox::warning(this, QStringLiteral("Warning"), QLatin1String(ServerField::kIncorrectText),
                             QMessageBox::Ok);
        return false;
    }
    BroadcastPlan plan = BroadcastPlan::fromFields(server, ui->txtStreamID->text());
    plan.latencyMs = ui->spbLatency->value();
    plan.videoKbps = ui->spbVBR->value();
    plan.audioKbps = ui->cmbABR->currentText().toInt();
    plan.codec = ui->cmbEncs->currentData().toString();
    plan.passphrase = ui->txtPassphrase->text().toUtf8();
    plan.adaptRate = ui->chkAdaptRate->isChecked();
    const QString problem = plan.problem();
    if (!problem.isEmpty()) {
        statusArea->showProblem(problem);
        return false;
    }
    streaming = true;
    session->start(plan, mf::MFPreview::handleOf(ui->lblStudioPreview));
    finishPageStep();
    return true;
}

void MainWindow::stopStreaming()
{
    streaming = false;
    session->stop();
    ui->leftArrow->hide();
    ui->rightArrow->hide();
    finishPageStep();
}

void MainWindow::createSession()
{
    session = std::make_unique<BroadcastSession>(mixer, player, logsDlg);
    // The state comes first in the status bar, before the version; the
    // window's edge resizes it, the bar's grip would only take room.
    ui->statusbar->setSizeGripEnabled(false);
    statusArea = new StatusArea(this);
    ui->statusbar->insertWidget(0, statusArea, 1);
    statusArea->follow(session.get());
    new PassphraseField(ui->txtPassphrase, statusArea, [this] { return session->isActive(); }, this);
    connect(session.get(), &BroadcastSession::arrowsAvailable, this, [this](bool available) {
        ui->leftArrow->setVisible(available);
        ui->rightArrow->setVisible(available);
    });
    connect(session.get(), &BroadcastSession::started, this, &MainWindow::saveSettings);
    // A Start that did not get through returns to the form, its cause in the status line.
    connect(session.get(), &BroadcastSession::failed, this, [this] {
        streaming = false;
        ui->leftArrow->hide();
        ui->rightArrow->hide();
        finishPageStep();
    });
}

void MainWindow::finishPageStep()
{
    if (streaming) {
        ui->stackedWidget->setCurrentIndex(PreviewPage);
        mixer->setPreviewWindow(mf::MFPreview::handleOf(ui->frameInFrameLbl_2));
        ui->stopBtn->show();
    } else {
        ui->stackedWidget->setCurrentIndex(ConnectionPage);
        mixer->setPreviewWindow(mf::MFPreview::handleOf(ui->frameInFrameLbl_1));
        ui->stopBtn->hide();
    }
}

void MainWindow::startMixer(quint64 window)
{
    const bool two = ui->chkCombined->isChecked();
    ui->radioGroup->setVisible(!two);
    const QSize size = ui->cmbFrames->currentData().toSize();
    const int frameMode = two ? kFrameModeDouble : kFrameModeSingle;
    qDebug() << "-- START MIXER" << frameMode << size;
    if (window == 0)
        window = mf::MFPreview::handleOf(ui->frameInFrameLbl_1);
    // Stops a running loop first, waiting at most 5 s for it to end.
    mixer->restart(window, two, size);
}

quint64 MainWindow::mixerPreviewWindow() const
{
    return mixer->previewWindow();
}

// ---------------------------------------------------------------- sources

void MainWindow::showSource(int layout)
{
    mixer->layout = layout;
}

void MainWindow::on_rbCamera_clicked(bool checked)
{
    if (!checked)
        return;
    ui->screenBtn->setEnabled(ui->chkCombined->isChecked());
    ui->cropBtn->setEnabled(ui->chkCombined->isChecked());
    showSource(kLayoutCamera);
    captureFrame.hide();
}

void MainWindow::on_rbScreen_clicked(bool checked)
{
    if (!checked)
        return;
    ui->screenBtn->setEnabled(true);
    ui->cropBtn->setEnabled(true);
    showSource(kLayoutScreen);
}

void MainWindow::on_rbMix_clicked(bool checked)
{
    if (!checked)
        return;
    ui->screenBtn->setEnabled(true);
    ui->cropBtn->setEnabled(true);
    showSource(kLayoutMix);
}

void MainWindow::on_chkCombined_stateChanged(int state)
{
    qDebug() << "-- on_chkCombined_stateChanged";
    ui->sourceFrame->setVisible(state == 0);
    const bool screenUsable = state != 0 || !ui->rbCamera->isChecked();
    ui->screenBtn->setEnabled(screenUsable);
    ui->cropBtn->setEnabled(screenUsable);
    if (mixerStarted)
        startMixer(mixerPreviewWindow());
    currentPageChanged(ui->stackedWidget->currentIndex());
}

void MainWindow::on_chkSystemAudio_stateChanged(int arg1)
{
    qDebug() << "-- on_chkSystemAudio_stateChanged";
    mixer->setSystemSound(arg1 == Qt::Checked);
}

void MainWindow::on_cmbFrames_currentIndexChanged(int index)
{
    Q_UNUSED(index);
    qDebug() << "-- on_cmbFrames_currentIndexChanged";
    if (mixerStarted)
        startMixer(mixerPreviewWindow());
}

void MainWindow::onVUAnalyze()
{
    if (!ui->chkSmartMute->isChecked())
        return;
    if (mixer->audioLevel > kLoudLevelDb) {
        player->setMute(true);
        muteHoldMs = kMuteHoldMs;
    } else if (muteHoldMs < 1) {
        player->setMute(false);
    } else {
        muteHoldMs -= kVuPeriodMs;
    }
}

// ---------------------------------------------------------------- pages

void MainWindow::switchConnectionPage()
{
    if (ui->connectionStack->currentIndex() == SimplePage) {
        ui->connectionStack->setCurrentIndex(AdvancedPage);
        ui->modeLbl->setText(QStringLiteral("Simple form >>>"));
    } else {
        ui->connectionStack->setCurrentIndex(SimplePage);
        ui->modeLbl->setText(QStringLiteral("Advanced form >>>"));
    }
    currentPageChanged(ui->stackedWidget->currentIndex());
}

void MainWindow::frameInFrameClicked()
{
    if (ui->stackedWidget->currentIndex() == ConnectionPage) {
        ui->stackedWidget->setCurrentIndex(PreviewPage);
        mixer->setPreviewWindow(mf::MFPreview::handleOf(ui->lblStudioPreview));
        player->setWindow(mf::MFPreview::handleOf(ui->frameInFrameLbl_2));
        resetFeedbackLabel();
    } else if (!streaming) {
        ui->stackedWidget->setCurrentIndex(ConnectionPage);
        mixer->setPreviewWindow(mf::MFPreview::handleOf(ui->frameInFrameLbl_1));
    } else {
        const quint64 mixerWindow = mixer->previewWindow();
        mixer->setPreviewWindow(player->window());
        player->setWindow(mixerWindow);
        if (player->isControlConnected()) {
            const bool show = !ui->leftArrow->isVisible();
            ui->leftArrow->setVisible(show);
            ui->rightArrow->setVisible(show);
        }
    }
}

void MainWindow::resetFeedbackLabel()
{
    // A fresh label drops whatever native window a renderer drew into.
    TLabel *old = ui->frameInFrameLbl_2;
    auto *label = new TLabel(old->parentWidget());
    label->setObjectName(old->objectName());
    label->setGeometry(old->geometry());
    label->setCursor(old->cursor());
    label->setToolTip(old->toolTip());
    label->setAccessibleName(old->accessibleName());
    label->setScaledContents(true);
    label->setPixmap(QPixmap(QStringLiteral(":/connect")));
    ui->gridLayout_2->removeWidget(old);
    delete old;
    ui->frameInFrameLbl_2 = label;
    ui->gridLayout_2->addWidget(label, 0, 0, 1, 1);
    label->show();
    connect(label, &TLabel::clicked, this, &MainWindow::frameInFrameClicked);
}

void MainWindow::currentPageChanged(int)
{
    if (!isVisible())
        return;
    if (ui->stackedWidget->currentIndex() == ConnectionPage)
        layoutConnectionPage();
    else
        layoutPreviewPage();
    // Handing a renderer its window again makes it pick up the new size.
    if (mixer->isRunning())
        mixer->setPreviewWindow(mixer->previewWindow());
    if (player->isRunning())
        player->setWindow(player->window());
}

void MainWindow::layoutConnectionPage()
{
    const int w = qRound(ui->connectionPage->width() * 0.2);
    const int h = qRound(w * 0.75);
    const QSize frame = QSize(ui->chkCombined->isChecked() ? 2 * w : w, h) + QSize(4, 4);
    setFixedSizeRange(ui->frameInFrame_1, frame);
    setFixedHeightRange(ui->connectionFrame, frame.height());
    if (ui->connectionStack->currentIndex() == SimplePage)
        layoutSimplePage();
    else
        setFixedHeightRange(ui->connectionStack, kAdvancedFormHeight);
}

void MainWindow::layoutSimplePage()
{
    int height = ui->connectionPage->height() - ui->connectionFrame->height() - 16;
    if (ui->sourceFrame->isVisible())
        height -= ui->sourceFrame->height();
    setFixedSizeRange(ui->connectionStack, QSize(ui->connectionPage->width(), height));
    const QSize field(ui->simplePage->width() / 2, ui->simplePage->height() / 4);
    setFixedSizeRange(ui->numberEdit, field);
    ui->startBtnFrame_1->setMinimumWidth(field.width());
    ui->startBtnFrame_1->setMaximumWidth(field.width());
    fitNumberFont(field);
}

void MainWindow::fitNumberFont(const QSize &field)
{
    static const QString sample = QStringLiteral("000-000-000");
    QFont font = ui->numberEdit->font();
    // Pixel sizes below 1 are invalid; a tiny field keeps the smallest font
    // instead of shrinking forever.
    int pixelSize = std::max(1, field.height() - 4);
    font.setPixelSize(pixelSize);
    auto tooLarge = [&](const QFont &candidate) {
        const QRect box = QFontMetrics(candidate).boundingRect(sample);
        return box.width() > field.width() - 8 || box.height() > field.height() - 4;
    };
    while (pixelSize > 1 && tooLarge(font)) {
        --pixelSize;
        font.setPixelSize(pixelSize);
    }
    ui->numberEdit->setFont(font);
}

void MainWindow::layoutPreviewPage()
{
    const int w = int(ui->previewPage->width() * 0.2);
    const int h = qRound(w * 0.75f);
    const quint64 preview = mixerPreviewWindow();
    const bool smallPreview = preview != 0
                              && (preview == ui->frameInFrameLbl_1->internalWinId()
                                  || preview == ui->frameInFrameLbl_2->internalWinId());
    const int frameWidth = ui->chkCombined->isChecked() && smallPreview ? 2 * w : w;
    const QSize frame = QSize(frameWidth, h) + QSize(4, 4);
    ui->frameInFrame_2->setGeometry(ui->frameInFrame_1->geometry());
    setFixedSizeRange(ui->frameInFrame_2, frame);
    ui->lblStudioPreview->setGeometry(ui->previewFrame->geometry());
}

// ---------------------------------------------------------------- capture frame

QPair<int, int> MainWindow::displayOfRect(const QList<int> &displayLefts, const QRect &rect)
{
    QList<int> lefts = displayLefts;
    std::sort(lefts.begin(), lefts.end());
    QPair<int, int> result(0, 0);
    if (lefts.size() < 2)
        return result;
    for (int i = 0; i < lefts.size(); ++i) {
        if (lefts.at(i) <= rect.left())
            result = qMakePair(i, lefts.at(i));
    }
    return result;
}

void MainWindow::captureFrameMoved(const QRect &frameRect)
{
    // Shown but not placed yet: its rectangle follows with the placement,
    // and the whole display that a null area stands for must not go out.
    if (frameRect.isNull())
        return;
    // The screen source works in the X screen's pixels, not in Qt's.
    const QRect rect = mf::DevicePixels::toDevice(frameRect);
    QList<int> lefts;
    const auto screens = QGuiApplication::screens();
    for (const QScreen *screen : screens)
        lefts.append(mf::DevicePixels::screenGeometry(screen).left());
    const QPair<int, int> display = displayOfRect(lefts, rect);
    QRect area = rect;
    if (display.first != 0)
        area.translate(-display.second, 0);
    if (display.first == captureFrame.screenIndex)
        mixer->setArea(display.first, area);
    else
        captureFrame.selectScreen(display.first);
}

// ---------------------------------------------------------------- other parts

// The main window stays on top of other windows, and so would stay on top of
// the parentless windows it opens. Made transient for it (no Qt parent, the
// same flags), the window manager keeps them above it in any case.
void MainWindow::keepAboveMe(QWidget *window)
{
    WindowStacking::keepAbove(window, this);
}

void MainWindow::on_actionSpeed_Test_triggered()
{
    speedTest->setRateLimits(ui->cmbABR->currentText().toInt(), ui->spbVBR->minimum(), ui->spbVBR->maximum(),
                             ui->spbVBR->singleStep());
    speedTest->openFor(ui->txtURL->text(), ui->txtStreamID->text(), ui->spbLatency->value(),
                       ui->txtPassphrase->text().toUtf8());
}

void MainWindow::on_actionLogs_triggered()
{
    // The main window stays on top: without this the log viewer opens behind it.
    logsDlg->show();
    keepAboveMe(logsDlg);
    logsDlg->raise();
    logsDlg->activateWindow();
}

void MainWindow::on_actionDistr_triggered()
{
    // The exported start script must carry a link the program accepts as one.
    DistributiveExporter(this, QCoreApplication::applicationFilePath())
        .run(LinkSharing::shareableLink(buildLink()), !ui->txtPassphrase->text().isEmpty());
}

void MainWindow::on_actionCopy_Link_triggered()
{
    const bool carriesPassphrase = !ui->txtPassphrase->text().isEmpty();
    LinkSharing::copyToClipboard(buildLink(), carriesPassphrase);
    // The tray notice is invisible without a system tray.
    statusBar()->showMessage(QString::fromLatin1(carriesPassphrase ? LinkSharing::kCopiedWithPassphraseText : "Link copied"),
                             kStatusMessageMs);
}

LinkFields MainWindow::linkFields() const
{
    return {ui->txtURL->text(),        ui->txtStreamID->text(),      ui->spbVBR->value(),
            ui->cmbABR->currentText(), ui->cmbFrames->currentText(), ui->chkCombined->isChecked(),
            ui->txtPassphrase->text()};
}

QString MainWindow::buildLink() const
{
    return LinkSharing::buildLink(linkFields());
}

void MainWindow::videoSourceChanged(QAction *action)
{
    sourceMenus->videoSourceChanged(action);
}

void MainWindow::screenSourceChanged(QAction *action)
{
    sourceMenus->screenSourceChanged(action);
}

void MainWindow::audioSourceChanged(QAction *action)
{
    sourceMenus->audioSourceChanged(action);
}

void MainWindow::videoMenuShowed()
{
    sourceMenus->videoMenuShowed();
}

void MainWindow::screenMenuShowed()
{
    sourceMenus->screenMenuShowed();
}

void MainWindow::audioMenuShowed()
{
    sourceMenus->audioMenuShowed();
}

void MainWindow::cropBtnClicked()
{
    TCropDlg dialog(this);
    // Frames reach the dialog only while it is open.
    connect(mixer, &Mixer::frameChanged, &dialog, &TCropDlg::frameChanged);
    dialog.setModal(true);
    const QByteArray geometry = settings->value(SettingsKeys::CropDialogGeometry, QByteArray()).toByteArray();
    if (!geometry.isEmpty())
        dialog.restoreGeometry(geometry);
    else
        dialog.resize(QSize(int(screen()->geometry().width() / 1.5), int(screen()->geometry().height() / 1.5)));
    if (Mixer::cropApplies(cropRect))
        dialog.setRubberBandGeometry(cropRect);

    const int result = dialog.exec();
    if (result != TCropDlg::Reset && result != TCropDlg::Apply)
        return;
    settings->setValue(SettingsKeys::CropDialogGeometry, dialog.saveGeometry());
    QRect sourceCrop;
    sourceCrop.setCoords(0, 0, 0, 0);
    cropRect = sourceCrop;
    // Apply before any picture arrived has nothing to crop to: no crop.
    if (result == TCropDlg::Apply && Mixer::cropApplies(dialog.sourceCropRect())) {
        cropRect = dialog.rubberBandGeometry();
        sourceCrop = dialog.sourceCropRect();
    }
    sourceMenus->setCropRect(cropRect);
    settings->setValue(SettingsKeys::CropRect, cropRect);
    settings->setValue(SettingsKeys::CropSourceRect, sourceCrop);
    emit changeCropRect(sourceCrop);
}

void MainWindow::orvaLinkRequest()
{
    const QString number = ui->numberEdit->text();
    // Shows "Invalid number." itself when the text is no number.
    if (!numberLookup->request(lookupOrigin(), number))
        return;
    ui->startBtn_1->setText(QStringLiteral("Wait..."));
    ui->startBtn_1->setEnabled(false);
    ui->numberEdit->deselect();
    settings->setValue(SettingsKeys::Number, number);
    ui->modeLbl->setEnabled(false);
}

void MainWindow::orvaReplyRecieved()
{
    ui->modeLbl->setEnabled(true);
    ui->startBtn_1->setText(QStringLiteral("Start"));
    ui->startBtn_1->setEnabled(true);
}
