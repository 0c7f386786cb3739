#include "app/UiMainWindow.h"

#include "app/TLabel.h"
#include "app/TNumberEdit.h"
#include "app/TImageWidget.h"

#include <QCoreApplication>
#include <QIcon>
#include <QMetaObject>

namespace {

constexpr int kMaxSize = QWIDGETSIZE_MAX;

QSpacerItem *horizontalSpacer(int width = 40, int height = 20)
{
    return new QSpacerItem(width, height, QSizePolicy::Expanding, QSizePolicy::Minimum);
}

QSpacerItem *verticalSpacer(int width = 20, int height = 40)
{
    return new QSpacerItem(width, height, QSizePolicy::Minimum, QSizePolicy::Expanding);
}

QFrame *frame(QWidget *parent, const char *name, QFrame::Shape shape)
{
    auto *result = new QFrame(parent);
    result->setObjectName(QString::fromLatin1(name));
    result->setFrameShape(shape);
    result->setFrameShadow(QFrame::Raised);
    return result;
}

QPushButton *sourceButton(QWidget *parent, const char *name, const char *icon)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setMinimumSize(QSize(64, 32));
    button->setIcon(QIcon(QString::fromLatin1(icon)));
    button->setIconSize(QSize(20, 20));
    return button;
}

QRadioButton *sourceRadio(QWidget *parent, const char *name)
{
    auto *radio = new QRadioButton(parent);
    radio->setObjectName(QString::fromLatin1(name));
    radio->setMinimumSize(QSize(86, 0));
    return radio;
}

} // namespace

namespace Ui {

void MainWindow::setupUi(QMainWindow *window)
{
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("MainWindow"));
    window->resize(529, 548);
    window->setMinimumSize(QSize(424, 400));

    actionSpeed_Test = new QAction(window);
    actionSpeed_Test->setObjectName(QStringLiteral("actionSpeed_Test"));
    actionLogs = new QAction(window);
    actionLogs->setObjectName(QStringLiteral("actionLogs"));
    actionDistr = new QAction(window);
    actionDistr->setObjectName(QStringLiteral("actionDistr"));
    actionCopy_Link = new QAction(window);
    actionCopy_Link->setObjectName(QStringLiteral("actionCopy_Link"));

    centralwidget = new QWidget(window);
    centralwidget->setObjectName(QStringLiteral("centralwidget"));
    verticalLayout = new QVBoxLayout(centralwidget);
    verticalLayout->setSpacing(4);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setContentsMargins(0, 0, 0, 0);

    stackedWidget = new QStackedWidget(centralwidget);
    stackedWidget->setObjectName(QStringLiteral("stackedWidget"));
    stackedWidget->setFrameShape(QFrame::Box);
    setupConnectionPage();
    setupPreviewPage();
    verticalLayout->addWidget(stackedWidget);

    setupControlFrame();
    setupSourceFrame();
    setupBottomFrame();

    window->setCentralWidget(centralwidget);
    setupMenus(window);
    statusbar = new QStatusBar(window);
    statusbar->setObjectName(QStringLiteral("statusbar"));
    window->setStatusBar(statusbar);

    retranslateUi(window);

    stackedWidget->setCurrentIndex(0);
    connectionStack->setCurrentIndex(1);

    QMetaObject::connectSlotsByName(window);
}

void MainWindow::setupConnectionPage()
{
    connectionPage = new TImageWidget();
    connectionPage->setObjectName(QStringLiteral("connectionPage"));
    verticalLayout_2 = new QVBoxLayout(connectionPage);
    verticalLayout_2->setSpacing(4);
    verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
    verticalLayout_2->setContentsMargins(4, 4, 4, 4);

    connectionFrame = frame(connectionPage, "connectionFrame", QFrame::NoFrame);
    QSizePolicy preferredFixed(QSizePolicy::Preferred, QSizePolicy::Fixed);
    connectionFrame->setSizePolicy(preferredFixed);
    connectionFrame->setMinimumHeight(76);
    framInFrameLayout_1 = new QHBoxLayout(connectionFrame);
    framInFrameLayout_1->setSpacing(4);
    framInFrameLayout_1->setObjectName(QStringLiteral("framInFrameLayout_1"));
    framInFrameLayout_1->setContentsMargins(4, 0, 0, 0);
    frameInFrame_1 = frame(connectionFrame, "frameInFrame_1", QFrame::NoFrame);
    frameInFrame_1->setMinimumSize(QSize(96, 0));
    gridLayout_1 = new QGridLayout(frameInFrame_1);
    gridLayout_1->setSpacing(0);
    gridLayout_1->setObjectName(QStringLiteral("gridLayout_1"));
    gridLayout_1->setContentsMargins(2, 2, 2, 2);
    frameInFrameLbl_1 = new TLabel(frameInFrame_1);
    frameInFrameLbl_1->setObjectName(QStringLiteral("frameInFrameLbl_1"));
    frameInFrameLbl_1->setCursor(QCursor(Qt::PointingHandCursor));
    frameInFrameLbl_1->setFrameShape(QFrame::NoFrame);
    frameInFrameLbl_1->setScaledContents(true);
    gridLayout_1->addWidget(frameInFrameLbl_1, 0, 0, 1, 1);
    framInFrameLayout_1->addWidget(frameInFrame_1);
    horizontalSpacer_frame1 = horizontalSpacer();
    framInFrameLayout_1->addItem(horizontalSpacer_frame1);
    verticalLayout_2->addWidget(connectionFrame);

    verticalSpacer_top = verticalSpacer();
    verticalLayout_2->addItem(verticalSpacer_top);

    connectionStack = new QStackedWidget(connectionPage);
    connectionStack->setObjectName(QStringLiteral("connectionStack"));
    connectionStack->setFrameShape(QFrame::NoFrame);
    connectionStack->setMidLineWidth(1);
    setupSimplePage();
    setupAdvancedPage();
    verticalLayout_2->addWidget(connectionStack);

    verticalSpacer_bottom = verticalSpacer();
    verticalLayout_2->addItem(verticalSpacer_bottom);

    modeFrame = frame(connectionPage, "modeFrame", QFrame::NoFrame);
    modeFrame->setSizePolicy(preferredFixed);
    framInFrameLayout_2 = new QHBoxLayout(modeFrame);
    framInFrameLayout_2->setObjectName(QStringLiteral("framInFrameLayout_2"));
    horizontalSpacer_mode = horizontalSpacer();
    framInFrameLayout_2->addItem(horizontalSpacer_mode);
    modeLbl = new TLabel(modeFrame);
    modeLbl->setObjectName(QStringLiteral("modeLbl"));
    modeLbl->setMinimumSize(QSize(0, 24));
    modeLbl->setMaximumSize(QSize(kMaxSize, 24));
    modeLbl->setCursor(QCursor(Qt::PointingHandCursor));
    framInFrameLayout_2->addWidget(modeLbl);
    verticalLayout_2->addWidget(modeFrame);

    stackedWidget->addWidget(connectionPage);
}

void MainWindow::setupSimplePage()
{
    simplePage = new QWidget();
    simplePage->setObjectName(QStringLiteral("simplePage"));
    simpleGridLayout = new QGridLayout(simplePage);
    simpleGridLayout->setSpacing(4);
    simpleGridLayout->setObjectName(QStringLiteral("simpleGridLayout"));
    simpleGridLayout->setContentsMargins(4, 4, 4, 4);

    verticalSpacer_simpleTop = verticalSpacer();
    simpleGridLayout->addItem(verticalSpacer_simpleTop, 0, 1, 1, 1);
    horizontalSpacer_simpleLeft = horizontalSpacer();
    simpleGridLayout->addItem(horizontalSpacer_simpleLeft, 1, 0, 1, 1);

    numberEdit = new TNumberEdit(simplePage);
    numberEdit->setObjectName(QStringLiteral("numberEdit"));
    QSizePolicy expanding(QSizePolicy::Expanding, QSizePolicy::Expanding);
    numberEdit->setSizePolicy(expanding);
    numberEdit->setMinimumSize(QSize(200, 32));
    numberEdit->setMaximumSize(QSize(200, 32));
    QFont numberFont;
    numberFont.setPointSize(16);
    numberFont.setBold(true);
    numberFont.setWeight(75);
    numberEdit->setFont(numberFont);
    numberEdit->setMaxLength(11);
    numberEdit->setAlignment(Qt::AlignCenter);
    simpleGridLayout->addWidget(numberEdit, 1, 1, 1, 1);

    horizontalSpacer_simpleRight = horizontalSpacer();
    simpleGridLayout->addItem(horizontalSpacer_simpleRight, 1, 3, 1, 1);

    startBtnFrame_1 = frame(simplePage, "startBtnFrame_1", QFrame::NoFrame);
    startBtnFrame_1->setMaximumSize(QSize(200, kMaxSize));
    horizontalLayout_3 = new QHBoxLayout(startBtnFrame_1);
    horizontalLayout_3->setSpacing(0);
    horizontalLayout_3->setObjectName(QStringLiteral("horizontalLayout_3"));
    horizontalLayout_3->setContentsMargins(0, 0, 0, 0);
    horizontalSpacer_start1 = horizontalSpacer(262, 20);
    horizontalLayout_3->addItem(horizontalSpacer_start1);
    startBtn_1 = new QPushButton(startBtnFrame_1);
    startBtn_1->setObjectName(QStringLiteral("startBtn_1"));
    startBtn_1->setMinimumSize(QSize(80, 0));
    startBtn_1->setMaximumSize(QSize(80, kMaxSize));
    startBtn_1->setStyleSheet(QStringLiteral("background-color: rgb(225, 225, 225);"));
    horizontalLayout_3->addWidget(startBtn_1);
    simpleGridLayout->addWidget(startBtnFrame_1, 2, 1, 1, 1);

    verticalSpacer_simpleBottom = verticalSpacer();
    simpleGridLayout->addItem(verticalSpacer_simpleBottom, 3, 1, 1, 1);

    connectionStack->addWidget(simplePage);
}

void MainWindow::setupAdvancedPage()
{
    advancedPage = new QWidget();
    advancedPage->setObjectName(QStringLiteral("advancedPage"));
    advancedGridLayout = new QGridLayout(advancedPage);
    advancedGridLayout->setSpacing(4);
    advancedGridLayout->setObjectName(QStringLiteral("advancedGridLayout"));
    advancedGridLayout->setContentsMargins(4, 4, 4, 4);

    verticalSpacer_advancedTop = verticalSpacer();
    advancedGridLayout->addItem(verticalSpacer_advancedTop, 0, 3, 1, 1);
    horizontalSpacer_advancedLeft = horizontalSpacer();
    advancedGridLayout->addItem(horizontalSpacer_advancedLeft, 1, 0, 1, 1);

    txtURL = new QLineEdit(advancedPage);
    txtURL->setObjectName(QStringLiteral("txtURL"));
    txtURL->setMinimumHeight(22);
    advancedGridLayout->addWidget(txtURL, 1, 1, 1, 3);

    horizontalSpacer_advancedRight = horizontalSpacer();
    advancedGridLayout->addItem(horizontalSpacer_advancedRight, 1, 4, 1, 1);

    txtStreamID = new QLineEdit(advancedPage);
    txtStreamID->setObjectName(QStringLiteral("txtStreamID"));
    txtStreamID->setMinimumHeight(22);
    txtStreamID->setLayoutDirection(Qt::LeftToRight);
    advancedGridLayout->addWidget(txtStreamID, 2, 1, 1, 1);

    spbVBR = new QSpinBox(advancedPage);
    spbVBR->setObjectName(QStringLiteral("spbVBR"));
    spbVBR->setMinimumHeight(22);
    spbVBR->setMinimum(128);
    spbVBR->setMaximum(100000);
    spbVBR->setSingleStep(128);
    spbVBR->setValue(1024);
    advancedGridLayout->addWidget(spbVBR, 2, 2, 1, 1);

    cmbABR = new QComboBox(advancedPage);
    cmbABR->setObjectName(QStringLiteral("cmbABR"));
    cmbABR->setSizePolicy(QSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed));
    cmbABR->setMinimumHeight(22);
    advancedGridLayout->addWidget(cmbABR, 2, 3, 1, 1);

    cmbEncs = new QComboBox(advancedPage);
    cmbEncs->setObjectName(QStringLiteral("cmbEncs"));
    cmbEncs->setMinimumHeight(22);
    advancedGridLayout->addWidget(cmbEncs, 3, 1, 1, 2);

    spbLatency = new QSpinBox(advancedPage);
    spbLatency->setObjectName(QStringLiteral("spbLatency"));
    spbLatency->setMinimumSize(QSize(80, 22));
    spbLatency->setMaximumSize(QSize(80, kMaxSize));
    spbLatency->setMinimum(10);
    spbLatency->setMaximum(1000);
    spbLatency->setSingleStep(50);
    spbLatency->setValue(120);
    advancedGridLayout->addWidget(spbLatency, 3, 3, 1, 1);

    cmbFrames = new QComboBox(advancedPage);
    cmbFrames->setObjectName(QStringLiteral("cmbFrames"));
    cmbFrames->setMinimumHeight(22);
    advancedGridLayout->addWidget(cmbFrames, 4, 1, 1, 1);

    chkCombined = new QCheckBox(advancedPage);
    chkCombined->setObjectName(QStringLiteral("chkCombined"));
    advancedGridLayout->addWidget(chkCombined, 4, 2, 1, 2);

    startBtnFrame_2 = frame(advancedPage, "startBtnFrame_2", QFrame::NoFrame);
    horizontalLayout_4 = new QHBoxLayout(startBtnFrame_2);
    horizontalLayout_4->setObjectName(QStringLiteral("horizontalLayout_4"));
    // The advanced form is held to 135 px; with the default frame margins the
    // Start button would be squeezed to nothing by this platform's font metrics.
    horizontalLayout_4->setContentsMargins(0, 0, 0, 0);
    horizontalSpacer_start2 = horizontalSpacer();
    horizontalLayout_4->addItem(horizontalSpacer_start2);
    cmdStart = new QPushButton(startBtnFrame_2);
    cmdStart->setObjectName(QStringLiteral("cmdStart"));
    cmdStart->setMinimumSize(QSize(80, 0));
    cmdStart->setMaximumSize(QSize(80, kMaxSize));
    horizontalLayout_4->addWidget(cmdStart);
    advancedGridLayout->addWidget(startBtnFrame_2, 5, 1, 1, 3);

    verticalSpacer_advancedBottom = verticalSpacer();
    advancedGridLayout->addItem(verticalSpacer_advancedBottom, 6, 3, 1, 1);

    connectionStack->addWidget(advancedPage);
}

void MainWindow::setupPreviewPage()
{
    previewPage = new QWidget();
    previewPage->setObjectName(QStringLiteral("previewPage"));
    previewPage->setMaximumSize(QSize(kMaxSize, kMaxSize));
    verticalLayout_3 = new QVBoxLayout(previewPage);
    verticalLayout_3->setObjectName(QStringLiteral("verticalLayout_3"));

    // The preview labels are placed by hand (relayout of the window), so the
    // frame has no layout of its own.
    previewFrame = frame(previewPage, "previewFrame", QFrame::Box);
    lblStudioPreview = new QLabel(previewFrame);
    lblStudioPreview->setObjectName(QStringLiteral("lblStudioPreview"));
    lblStudioPreview->setGeometry(QRect(0, 0, 329, 441));
    lblStudioPreview->setFrameShape(QFrame::Box);

    frameInFrame_2 = frame(previewFrame, "frameInFrame_2", QFrame::NoFrame);
    frameInFrame_2->setGeometry(QRect(8, 0, 100, 76));
    frameInFrame_2->setMinimumSize(QSize(96, 0));
    gridLayout_2 = new QGridLayout(frameInFrame_2);
    gridLayout_2->setObjectName(QStringLiteral("gridLayout_2"));
    frameInFrameLbl_2 = new TLabel(frameInFrame_2);
    frameInFrameLbl_2->setObjectName(QStringLiteral("frameInFrameLbl_2"));
    frameInFrameLbl_2->setCursor(QCursor(Qt::PointingHandCursor));
    frameInFrameLbl_2->setFrameShape(QFrame::NoFrame);
    gridLayout_2->addWidget(frameInFrameLbl_2, 0, 0, 1, 1);

    verticalLayout_3->addWidget(previewFrame);
    stackedWidget->addWidget(previewPage);
}

void MainWindow::setupControlFrame()
{
    controlFrame = frame(centralwidget, "controlFrame", QFrame::Box);
    controlFrame->setMinimumSize(QSize(0, 52));
    controlFrame->setMaximumSize(QSize(kMaxSize, 52));
    horizontalLayout_2 = new QHBoxLayout(controlFrame);
    horizontalLayout_2->setObjectName(QStringLiteral("horizontalLayout_2"));

    videoBtn = sourceButton(controlFrame, "videoBtn", ":/camera");
    horizontalLayout_2->addWidget(videoBtn);
    screenBtn = sourceButton(controlFrame, "screenBtn", ":/screen");
    horizontalLayout_2->addWidget(screenBtn);
    audioBtn = sourceButton(controlFrame, "audioBtn", ":/microphone");
    horizontalLayout_2->addWidget(audioBtn);
    cropBtn = sourceButton(controlFrame, "cropBtn", ":/rubber");
    horizontalLayout_2->addWidget(cropBtn);

    leftArrow = new QPushButton(controlFrame);
    leftArrow->setObjectName(QStringLiteral("leftArrow"));
    horizontalLayout_2->addWidget(leftArrow);
    rightArrow = new QPushButton(controlFrame);
    rightArrow->setObjectName(QStringLiteral("rightArrow"));
    horizontalLayout_2->addWidget(rightArrow);

    horizontalSpacer_control = horizontalSpacer(33, 19);
    horizontalLayout_2->addItem(horizontalSpacer_control);

    stopBtn = new QPushButton(controlFrame);
    stopBtn->setObjectName(QStringLiteral("stopBtn"));
    stopBtn->setMinimumSize(QSize(64, 32));
    stopBtn->setMaximumSize(QSize(64, 32));
    QFont stopFont;
    stopFont.setPointSize(10);
    stopBtn->setFont(stopFont);
    horizontalLayout_2->addWidget(stopBtn);
    horizontalLayout_2->setStretch(6, 1);

    verticalLayout->addWidget(controlFrame);
}

void MainWindow::setupSourceFrame()
{
    sourceFrame = frame(centralwidget, "sourceFrame", QFrame::Box);
    horizontalLayout_5 = new QHBoxLayout(sourceFrame);
    horizontalLayout_5->setObjectName(QStringLiteral("horizontalLayout_5"));
    rbScreen = sourceRadio(sourceFrame, "rbScreen");
    horizontalLayout_5->addWidget(rbScreen);
    rbCamera = sourceRadio(sourceFrame, "rbCamera");
    horizontalLayout_5->addWidget(rbCamera);
    rbMix = sourceRadio(sourceFrame, "rbMix");
    horizontalLayout_5->addWidget(rbMix);
    horizontalSpacer_source = horizontalSpacer();
    horizontalLayout_5->addItem(horizontalSpacer_source);
    verticalLayout->addWidget(sourceFrame);
}

void MainWindow::setupBottomFrame()
{
    bottomFrame = frame(centralwidget, "bottomFrame", QFrame::Box);
    bottomFrame->setMinimumSize(QSize(0, 100));
    chkSystemAudio = new QCheckBox(bottomFrame);
    chkSystemAudio->setObjectName(QStringLiteral("chkSystemAudio"));
    chkSystemAudio->setGeometry(QRect(10, 12, 112, 17));
    radioGroup = new QGroupBox(bottomFrame);
    radioGroup->setObjectName(QStringLiteral("radioGroup"));
    radioGroup->setGeometry(QRect(12, 56, 187, 37));
    horizontalLayout = new QHBoxLayout(radioGroup);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    chkSmartMute = new QCheckBox(bottomFrame);
    chkSmartMute->setObjectName(QStringLiteral("chkSmartMute"));
    chkSmartMute->setGeometry(QRect(10, 32, 79, 17));
    verticalLayout->addWidget(bottomFrame);
}

void MainWindow::setupMenus(QMainWindow *window)
{
    menubar = new QMenuBar(window);
    menubar->setObjectName(QStringLiteral("menubar"));
    menubar->setGeometry(QRect(0, 0, 529, 21));
    menubar->setLayoutDirection(Qt::RightToLeft);
    menuTools = new QMenu(menubar);
    menuTools->setObjectName(QStringLiteral("menuTools"));
    menuAdmin = new QMenu(menuTools);
    menuAdmin->setObjectName(QStringLiteral("menuAdmin"));
    menuAdmin->setLayoutDirection(Qt::LeftToRight);
    window->setMenuBar(menubar);

    menubar->addAction(menuTools->menuAction());
    menuTools->addAction(menuAdmin->menuAction());
    menuTools->addAction(actionSpeed_Test);
    menuTools->addAction(actionLogs);
    menuAdmin->addAction(actionDistr);
    menuAdmin->addAction(actionCopy_Link);
}

void MainWindow::retranslateUi(QMainWindow *window)
{
    auto tr = [](const char *text) { return QCoreApplication::translate("MainWindow", text); };
    window->setWindowTitle(tr("MainWindow"));
    actionSpeed_Test->setText(tr("Speed Test"));
    actionLogs->setText(tr("Logs"));
    actionDistr->setText(tr("Prepare Distributive"));
    actionCopy_Link->setText(tr("Generate Link"));
    numberEdit->setInputMask(tr("999-999-999;_"));
    numberEdit->setPlaceholderText(tr("000-000-000"));
    startBtn_1->setText(tr("Start"));
    spbLatency->setToolTip(tr("Latency"));
    spbLatency->setSuffix(tr(" ms"));
    txtURL->setPlaceholderText(tr("Server (host:port)"));
    cmdStart->setText(tr("Start"));
    txtStreamID->setPlaceholderText(tr("Stream ID"));
    chkCombined->setText(tr("Two-frames mode"));
    modeLbl->setText(tr("Advanced form >>>"));
    lblStudioPreview->setText(tr("Please wait ..."));
    frameInFrameLbl_1->setText(QString());
    frameInFrameLbl_2->setText(QString());
    videoBtn->setText(QString());
    screenBtn->setText(QString());
    audioBtn->setText(QString());
    cropBtn->setText(QString());
    leftArrow->setText(QString());
    rightArrow->setText(QString());
    stopBtn->setText(tr("Stop"));
    rbScreen->setToolTip(tr("only screen (Ctrl + 2)"));
    rbScreen->setText(tr("Screen"));
    rbCamera->setToolTip(tr("only camera (Ctrl + 1)"));
    rbCamera->setText(tr("Camera"));
    rbMix->setToolTip(tr("camera + screen (Ctrl + 3)"));
    rbMix->setText(tr("Mix"));
    chkSystemAudio->setText(tr("Add System sound"));
    radioGroup->setTitle(QString());
    chkSmartMute->setText(tr("smart audio"));
    menuTools->setTitle(tr("Tools"));
    menuAdmin->setTitle(tr("Admin"));
}

} // namespace Ui
