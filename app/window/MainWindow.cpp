#include "app/window/MainWindow.h"

#include "ui_MainWindow.h"

#include "app/window/BroadcastControl.h"
#include "app/window/CaptureFramePlacement.h"
#include "app/services/DeploymentSettings.h"
#include "app/window/FormLabels.h"
#include "app/links/LinkConsent.h"
#include "app/window/LogsDlg.h"
#include "app/window/ScreenShareStatus.h"
#include "app/window/SmartMute.h"
#include "app/services/SoundServerStatus.h"
#include "app/services/SettingsKeys.h"
#include "app/links/StreamLink.h"
#include "app/widgets/TLabel.h"
#include "app/widgets/TNumberEdit.h"
#include "app/services/UpdateChecker.h"
#include "media/Mixer.h"
#include "media/PlayerWorker.h"
#include "media/engine/MFPreview.h"
#include "overlay/WindowStacking.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QSettings>

namespace {
// The window's first size; stored geometry replaces it.
constexpr QSize kFirstWindowSize(620, 440);
} // namespace

MainWindow::MainWindow(const QString &link, QWidget *parent)
    : QMainWindow(parent)
    , mixer(new Mixer(this))
    , vuTimer()
{
    mixer->setObjectName(QStringLiteral("mixer"));
    constructForm();

    SystemReport::setMediaReportProvider(LogsDlg::collectMediaReport);
    logsDlg = std::make_unique<LogsDlg>(nullptr);

    QSettings::setDefaultFormat(QSettings::IniFormat);
    // Parented to the window so the store is flushed and freed with it.
    settings = new QSettings(QSettings::IniFormat, QSettings::UserScope,
                             SettingsKeys::Organisation, SettingsKeys::Application, this);
    setWindowTitle(QStringLiteral("Orvanta"));
    formSettings = std::make_unique<FormSettings>(
        FormSettings::Widgets{ui->txtURL, ui->txtStreamID, ui->txtPassphrase, ui->spbVBR, ui->spbLatency, ui->cmbABR,
                              ui->cmbEncs, ui->cmbFrames, ui->chkCombined, ui->chkSystemAudio, ui->chkAdaptRate,
                              ui->chkAdaptLatency, ui->actionKeep_Copy, ui->rbCamera, ui->rbScreen, ui->rbMix},
        settings);

    connect(this, &MainWindow::handleChanged, mixer, &Mixer::handleChanged);
    connect(this, &MainWindow::changeCropRect, mixer, &Mixer::cropRectChanged);
    modes = std::make_unique<SourceModes>(SourceModes::Widgets{ui->sourceFrame, ui->radioGroup, ui->rbCamera,
                                                               ui->rbScreen, ui->rbMix, ui->screenBtn, ui->cropBtn,
                                                               ui->chkCombined},
                                          mixer, &captureFrame);

    formSettings->fillFrameSizes();

    linkConsent = new LinkConsent(settings, this, QCoreApplication::applicationDirPath(), this);
    connect(linkConsent, &LinkConsent::granted, this, &MainWindow::startLink);
    // A link that needs the user's word leaves the form as stored until he gives it.
    const bool askFirst = linkConsent->needsQuestion(link, false);
    tools = new ToolsMenu({this, ui->statusbar, ui->txtURL, ui->txtStreamID, ui->txtPassphrase, ui->spbVBR,
                           ui->spbLatency, ui->cmbABR},
                          formSettings.get(), linkConsent, logsDlg.get(),
                          [this](QWidget *window) { keepAboveMe(window); });
    loadSettings(askFirst ? QString() : link);
    formSettings->applyMode();

    new CaptureFramePlacement(&captureFrame, mixer, this);

    prepareTemporaryFolder();

    player = std::make_unique<PlayerWorker>();
    player->setSplashPath(splashPath);
    smartMute = std::make_unique<SmartMute>(ui->chkSmartMute, mixer, player.get());
    createPages();
    updateChecker = new UpdateChecker(settings, this, this);
    updateChecker->check(DeploymentSettings::updateUrl(*settings));

    ui->chkSystemAudio->setVisible(false);
    new ScreenShareStatus(settings, ui->statusbar, this);
    new SoundServerStatus(ui->statusbar);
    createBroadcastControl();

    mixerStarted = true;
    startMixer(0);

    connect(&vuTimer, &QTimer::timeout, this, &MainWindow::onVUAnalyze);
    vuTimer.start(SmartMute::kPeriodMs);
    ui->chkSmartMute->setChecked(false);

    ui->lblStudioPreview->setText(QString());

    connectControls();

    ui->stackedWidget->setCurrentIndex(PageSwitcher::ConnectionPage);
    ui->bottomFrame->setMinimumHeight(0);
    ui->bottomFrame->setMaximumHeight(0);
    resize(kFirstWindowSize);

    connect(ui->stackedWidget, &QStackedWidget::currentChanged, this, &MainWindow::currentPageChanged);

    restoreWindow();
    sources = new SourceControls({this, ui->videoBtn, ui->screenBtn, ui->audioBtn, ui->horizontalLayout_2,
                                  ui->chkSystemAudio},
                                 settings, mixer, &captureFrame, [this](QWidget *window) { keepAboveMe(window); });
    connect(sources, &SourceControls::handleChanged, this, &MainWindow::handleChanged);
    connect(sources, &SourceControls::changeCropRect, this, &MainWindow::changeCropRect);

    connect(ui->cropBtn, &QPushButton::clicked, this, &MainWindow::cropBtnClicked);
    pages->prepareArrows(player->arrowSender());

    ui->connectionStack->setCurrentIndex(PageSwitcher::SimplePage);
    connect(ui->modeLbl, &TLabel::clicked, this, &MainWindow::switchConnectionPage);
    connect(ui->numberEdit, &TNumberEdit::enterPressed, this, &MainWindow::orvaLinkRequest);
    numberForm = new NumberForm({this, ui->numberEdit, ui->startBtn_1, ui->modeLbl}, settings, this);
    connect(numberForm, &NumberForm::replyFinished, this, &MainWindow::orvaReplyRecieved);
    connect(numberForm, &NumberForm::linkReceived, this, [this](const QString &url) {
        loadSettings(url);
        ui->cmdStart->click();
    });

    if (askFirst)
        QMetaObject::invokeMethod(this, [this, link] { askToStart(link); }, Qt::QueuedConnection);
    else if (isLink(link))
        ui->cmdStart->click();
}

// The worker threads end before the process unloads the libraries they run
// in: the session first, then the player (members), then the mixer (a child).
MainWindow::~MainWindow() = default;

void MainWindow::constructForm()
{
    ui = std::make_unique<Ui::MainWindow>();
    ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowStaysOnTopHint);
    FormLabels::apply(this);
    ui->spbVBR->setSuffix(QStringLiteral(" kbit/s"));
}

void MainWindow::createPages()
{
    pages = new PageSwitcher({this, ui->stackedWidget, ui->connectionPage, ui->connectionFrame, ui->frameInFrame_1,
                              ui->frameInFrameLbl_1, ui->connectionStack, ui->simplePage, ui->numberEdit,
                              ui->startBtnFrame_1, ui->modeLbl, ui->previewPage, ui->previewFrame,
                              ui->lblStudioPreview, ui->frameInFrame_2, ui->gridLayout_2, ui->frameInFrameLbl_2,
                              ui->stopBtn, ui->leftArrow, ui->rightArrow, ui->sourceFrame, ui->chkCombined},
                             mixer, player.get(), [this] { return isStreaming(); });
    // The pages own the feedback label from here on: it is made anew.
    ui->frameInFrameLbl_2 = nullptr;
    connect(pages, &PageSwitcher::frameClicked, this, &MainWindow::frameInFrameClicked);
}

void MainWindow::prepareTemporaryFolder()
{
    // The feedback player shows splash.png while its stream connects. Each
    // instance has a folder of its own, so nothing another user or another
    // instance put in a shared place is written to or removed.
    temporaryFolder = std::make_unique<InstanceFolder>();
    splashPath = temporaryFolder->addCopy(QStringLiteral(":/splash"), QStringLiteral("splash.png"));
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

// ---------------------------------------------------------------- settings

void MainWindow::loadSettings(const QString &link)
{
    formSettings->fillChoices();
    formSettings->load();
    // Two-frames mode needs the screen: not with the camera alone.
    ui->chkCombined->setChecked(formSettings->storedTwoFrames() && !ui->rbCamera->isChecked());
    on_chkCombined_stateChanged(ui->chkCombined->checkState());
    on_chkSystemAudio_stateChanged(ui->chkSystemAudio->checkState());
    if (!link.isEmpty())
        formSettings->applyLink(link);
}

bool MainWindow::isLink(const QString &text)
{
    return StreamLink(text).isLink();
}

void MainWindow::saveSettings()
{
    formSettings->save();
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

// ---------------------------------------------------------------- broadcast

bool MainWindow::isStreaming() const
{
    return broadcast && broadcast->isActive();
}

void MainWindow::toggleStreaming()
{
    broadcast->toggle();
}

void MainWindow::createBroadcastControl()
{
    broadcast = std::make_unique<BroadcastControl>(
        BroadcastControl::Widgets{this, ui->txtURL, ui->txtPassphrase, ui->lblStudioPreview, ui->pauseBtn,
                                  ui->statusbar},
        BroadcastControl::Parts{formSettings.get(), pages, linkConsent, mixer, player.get()}, this);
    broadcast->addShortcutWindow(this);
    broadcast->addShortcutWindow(&captureFrame);
    connect(broadcast.get(), &BroadcastControl::started, this, &MainWindow::saveSettings);
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
    if (isLink(link))
        askToStart(link);
}

void MainWindow::askToStart(const QString &link)
{
    linkConsent->request(link, isStreaming(), formSettings->sentWith(link));
}

void MainWindow::startLink(const QString &link)
{
    if (isStreaming())
        broadcast->stop();
    loadSettings(link);
    ui->cmdStart->click();
}

void MainWindow::startMixer(quint64 window)
{
    const bool two = ui->chkCombined->isChecked();
    modes->showForTwoFrames(two);
    const QSize size = ui->cmbFrames->currentData().toSize();
    const int frameMode = two ? Picture::TwoFrames : Picture::SingleFrame;
    qDebug() << "-- START MIXER" << frameMode << size;
    if (window == 0)
        window = mf::MFPreview::handleOf(ui->frameInFrameLbl_1);
    // Stops a running loop first, waiting at most 5 s for it to end.
    mixer->restart(window, two, size);
}

void MainWindow::on_chkCombined_stateChanged(int state)
{
    qDebug() << "-- on_chkCombined_stateChanged";
    modes->twoFramesChanged(state);
    if (mixerStarted)
        startMixer(mixer->previewWindow());
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
        startMixer(mixer->previewWindow());
}

void MainWindow::currentPageChanged(int)
{
    // Called while the form is first filled, before the pages are known.
    if (pages)
        pages->relayout();
}

// ---------------------------------------------------------------- other parts

// The main window stays on top of other windows, and so would stay on top of
// the parentless windows it opens. Made transient for it (no Qt parent, the
// same flags), the window manager keeps them above it in any case.
void MainWindow::keepAboveMe(QWidget *window)
{
    WindowStacking::keepAbove(window, this);
}
