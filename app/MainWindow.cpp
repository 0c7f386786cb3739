#include "app/MainWindow.h"

#include "ui_MainWindow.h"

#include "app/BroadcastSession.h"
#include "app/CaptureFramePlacement.h"
#include "app/DeploymentSettings.h"
#include "app/DistributiveExporter.h"
#include "app/FormLabels.h"
#include "app/FormSettings.h"
#include "app/InstanceFolder.h"
#include "app/LinkConsent.h"
#include "app/LinkSharing.h"
#include "app/LogsDlg.h"
#include "app/NumberLookup.h"
#include "app/PageSwitcher.h"
#include "app/PassphraseField.h"
#include "app/ScreenPause.h"
#include "app/ScreenShareStatus.h"
#include "app/SoundServerStatus.h"
#include "app/ServerField.h"
#include "app/SettingsKeys.h"
#include "app/SourceControls.h"
#include "app/SourceModes.h"
#include "app/SpeedTest.h"
#include "app/StatusArea.h"
#include "app/StreamLink.h"
#include "app/TLabel.h"
#include "app/TNumberEdit.h"
#include "app/UpdateChecker.h"
#include "diagnostics/LogLine.h"
#include "media/Mixer.h"
#include "media/PlayerWorker.h"
#include "media/engine/MFPreview.h"
#include "overlay/WindowStacking.h"
#include "transport/ArrowSender.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QKeyEvent>
#include <QMessageBox>
#include <QSettings>

namespace {

constexpr int kVuPeriodMs = 400;
constexpr float kLoudLevelDb = -19.0f;
constexpr int kMuteHoldMs = 600;
constexpr int kStatusMessageMs = 5000;

} // namespace

MainWindow::MainWindow(const QString &link, QWidget *parent)
    : QMainWindow(parent)
    , vuTimer()
{
    mixerStarted = false;

    constructForm();

    // The log viewer has no parent and lives as long as the process.
    SystemReport::setMediaReportProvider(LogsDlg::collectMediaReport);
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
    formSettings = std::make_unique<FormSettings>(ui, settings);

    // Lives until the process ends, like the other long-lived workers.
    mixer = new Mixer();
    connect(this, &MainWindow::handleChanged, mixer, &Mixer::handleChanged);
    connect(this, &MainWindow::changeCropRect, mixer, &Mixer::cropRectChanged);
    modes = std::make_unique<SourceModes>(ui, mixer, &captureFrame);

    formSettings->fillFrameSizes();

    linkConsent = new LinkConsent(settings, this, QCoreApplication::applicationDirPath(), this);
    connect(linkConsent, &LinkConsent::granted, this, &MainWindow::startLink);
    // A link that needs the user's word leaves the form as stored until he gives it.
    const bool askFirst = linkConsent->needsQuestion(link, false);
    loadSettings(askFirst ? QString() : link);
    formSettings->applyMode();

    mixer->setLogTarget(logsDlg);
    new CaptureFramePlacement(&captureFrame, mixer, this);

    prepareTemporaryFolder();

    player = new PlayerWorker();
    player->setSplashPath(splashPath);
    pages = new PageSwitcher(this, ui, mixer, player, [this] { return streaming; });
    connect(pages, &PageSwitcher::frameClicked, this, &MainWindow::frameInFrameClicked);
    updateChecker = new UpdateChecker(settings, this, this);
    updateChecker->check(updateUrl());

    ui->chkSystemAudio->setVisible(false);
    new ScreenShareStatus(settings, ui->statusbar, this);
    new SoundServerStatus(ui->statusbar);
    createSession();

    mixerStarted = true;
    startMixer(0);

    connect(&vuTimer, &QTimer::timeout, this, &MainWindow::onVUAnalyze);
    vuTimer.start(kVuPeriodMs);
    ui->chkSmartMute->setChecked(false);

    ui->lblStudioPreview->setText(QString());

    connectControls();

    ui->stackedWidget->setCurrentIndex(ConnectionPage);
    ui->bottomFrame->setMinimumHeight(0);
    ui->bottomFrame->setMaximumHeight(0);
    resize(620, 440);

    connect(ui->frameInFrameLbl_1, &TLabel::clicked, this, &MainWindow::frameInFrameClicked);
    connect(ui->frameInFrameLbl_2, &TLabel::clicked, this, &MainWindow::frameInFrameClicked);
    connect(ui->stackedWidget, &QStackedWidget::currentChanged, this, &MainWindow::currentPageChanged);

    restoreWindow();
    sources = new SourceControls(this, ui, settings, mixer, &captureFrame, [this](QWidget *window) { keepAboveMe(window); });
    connect(sources, &SourceControls::handleChanged, this, &MainWindow::handleChanged);
    connect(sources, &SourceControls::changeCropRect, this, &MainWindow::changeCropRect);

    connect(ui->cropBtn, &QPushButton::clicked, this, &MainWindow::cropBtnClicked);
    pages->prepareArrows(player->arrowSender());

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

    if (askFirst)
        QMetaObject::invokeMethod(this, [this, link] { linkConsent->request(link, streaming, sentByLink(link)); },
                                  Qt::QueuedConnection);
    else if (isLink(link))
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
    if (isLink(link))
        linkConsent->request(link, streaming, sentByLink(link));
}

void MainWindow::startLink(const QString &link)
{
    if (streaming)
        stopStreaming();
    loadSettings(link);
    ui->cmdStart->click();
}

QStringList MainWindow::sentByLink(const QString &link) const
{
    const bool twoFrames = StreamLink(link).twoFrames();
    QStringList sent;
    if (twoFrames || !ui->rbScreen->isChecked())
        sent << QStringLiteral("camera");
    sent << QStringLiteral("microphone");
    if (twoFrames || !ui->rbCamera->isChecked())
        sent << QStringLiteral("screen");
    if (ui->chkSystemAudio->isChecked())
        sent << QStringLiteral("system sound");
    return sent;
}

bool MainWindow::startStreaming()
{
    const ServerField server(ui->txtURL->text());
    if (!server.hasPort()) {
        QMessageBox::warning(this, QStringLiteral("Warning"), QLatin1String(ServerField::kIncorrectText),
                             QMessageBox::Ok);
        return false;
    }
    const BroadcastPlan plan = formSettings->broadcastPlan(server);
    const QString problem = plan.problem();
    if (!problem.isEmpty()) {
        statusArea->showProblem(problem);
        return false;
    }
    // The user chose this server: its links start without a question from now on.
    linkConsent->confirm(ui->txtURL->text());
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
    statusArea = new StatusArea(this);
    statusArea->install(ui->statusbar);
    statusArea->follow(session.get());
    auto *screenPause = new ScreenPause(mixer, ui->pauseBtn, statusArea, this);
    screenPause->addShortcutWindow(this);
    screenPause->addShortcutWindow(&captureFrame);
    screenPause->follow(session.get());
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

void MainWindow::startMixer(quint64 window)
{
    const bool two = ui->chkCombined->isChecked();
    ui->radioGroup->setVisible(!two);
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

void MainWindow::onVUAnalyze()
{
    if (!ui->chkSmartMute->isChecked())
        return;
    if (mixer->audioLevel() > kLoudLevelDb) {
        player->setMute(true);
        muteHoldMs = kMuteHoldMs;
    } else if (muteHoldMs < 1) {
        player->setMute(false);
    } else {
        muteHoldMs -= kVuPeriodMs;
    }
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
    // The user chose the copy's server by exporting it.
    if (DistributiveExporter(this, QCoreApplication::applicationFilePath())
            .run(LinkSharing::shareableLink(buildLink()), !ui->txtPassphrase->text().isEmpty()))
        linkConsent->confirm(ui->txtURL->text());
}

void MainWindow::on_actionCopy_Link_triggered()
{
    const bool carriesPassphrase = !ui->txtPassphrase->text().isEmpty();
    LinkSharing::copyToClipboard(buildLink(), carriesPassphrase);
    // The tray notice is invisible without a system tray.
    statusBar()->showMessage(QString::fromLatin1(carriesPassphrase ? LinkSharing::kCopiedWithPassphraseText : "Link copied"),
                             kStatusMessageMs);
}

QString MainWindow::buildLink() const
{
    return LinkSharing::buildLink(linkFields());
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

