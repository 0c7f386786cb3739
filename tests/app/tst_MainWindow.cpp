#include "app/DeploymentSettings.h"
#include "app/DeviceRegistry.h"
#include "app/MainWindow.h"
#include "app/Startup.h"
#include "app/SpeedTest.h"
#include "app/StatusArea.h"
#include "app/TLevelMeter.h"
#include "media/DeviceSelection.h"
#include "media/Mixer.h"
#include "app/TImageWidget.h"
#include "app/TLabel.h"
#include "app/TNumberEdit.h"
#include "media/EncoderConfig.h"
#include "media/engine/MFWriter.h"
#include "tests/support/PrivateHome.h"
#include "tests/support/WindowChecks.h"
#include "ui_MainWindow.h"

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <mutex>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

// Every test runs against a private configuration folder and temporary
// folder, set up in main() before Qt reads either location.
static QString g_configHome;
static QString g_tempHome;

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init();

    void formConnectsByNameAndOrdersItsPages();
    void textsTheUserReads();
    void keyGeometryOfPagesAndForms();
    void everyControlIsNamedAndReadable();
    void speedTestAdviceSetsTheVideoRate();
    void levelMeterFollowsTheSound();
    void statusTextsFitTheDefaultSize_data();
    void statusTextsFitTheDefaultSize();
    void constructionLeavesTheSimpleForm();
    void freshProfileDefaults();
    void settingsRoundTripThroughIniFile();
    void unknownStoredItemsKeepCurrentItem();
    void linkFields_data();
    void linkFields();
    void linkArgumentStartsAtOnce();
    void closeWritesIniAndRemovesTemporaryFolder();
    void plantedLinkInSharedTemporaryFolderIsLeftAlone();
    void twoWindowsKeepTheirOwnFolders();
    void deploymentValuesDefaultAndOverride();
    void serverWithoutPortWarns();
    void formSwitchAndPreviewClicks();
    void ctrlDigitsSelectSourcesOutsideTwoFramesMode();
    void relayoutSizesThePreviewFrame();
    void displayOfRect();

private:
    static QString iniPath();
    static std::unique_ptr<MainWindow> makeWindow(const QString &link = QString());
    static void store(const QVariantMap &values);
    static QString closeMessageBox();
    static void checkWindowBands(Ui::MainWindow *ui);
    static void checkSimpleForm(Ui::MainWindow *ui);
    static void checkAdvancedForm(Ui::MainWindow *ui);
};

QString TestMainWindow::iniPath()
{
    return g_configHome + "/Velmora/Orvanta.ini";
}

std::unique_ptr<MainWindow> TestMainWindow::makeWindow(const QString &link)
{
    return std::make_unique<MainWindow>(link);
}

void TestMainWindow::store(const QVariantMap &values)
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.sync();
}

void TestMainWindow::init()
{
    QSettings settings(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
    settings.clear();
    settings.sync();
}

namespace {
// The mixer thread logs while the window is built.
std::mutex g_messagesLock;
QStringList g_messages;
void collectMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    std::lock_guard<std::mutex> lock(g_messagesLock);
    g_messages.append(message);
}

// Position of a widget in another one's coordinates.
QPoint posIn(const QWidget *widget, const QWidget *ancestor)
{
    return widget->mapTo(ancestor, QPoint(0, 0));
}

QRect rectIn(const QWidget *widget, const QWidget *ancestor)
{
    return QRect(posIn(widget, ancestor), widget->size());
}

// The small preview frame of the connection page for a page width.
QSize smallFrameSize(int pageWidth, bool twoFrames)
{
    const int w = qRound(pageWidth * 0.2);
    return QSize(twoFrames ? 2 * w : w, qRound(w * 0.75)) + QSize(4, 4);
}
} // namespace

void TestMainWindow::formConnectsByNameAndOrdersItsPages()
{
    const QtMessageHandler previous = qInstallMessageHandler(collectMessage);
    auto window = makeWindow();
    qInstallMessageHandler(previous);
    // A renamed object or signal leaves its on_<object>_<signal> slot unconnected,
    // and connectSlotsByName says so.
    std::unique_lock<std::mutex> lock(g_messagesLock);
    const QStringList unconnected = g_messages.filter("connectSlotsByName");
    g_messages.clear();
    lock.unlock();
    QVERIFY2(unconnected.isEmpty(), qPrintable(unconnected.join('\n')));

    // The page indexes the window switches by.
    Ui::MainWindow *ui = window->form();
    QCOMPARE(ui->stackedWidget->widget(MainWindow::ConnectionPage), ui->connectionPage);
    QCOMPARE(ui->stackedWidget->widget(MainWindow::PreviewPage), ui->previewPage);
    QCOMPARE(ui->connectionStack->widget(MainWindow::SimplePage), ui->simplePage);
    QCOMPARE(ui->connectionStack->widget(MainWindow::AdvancedPage), ui->advancedPage);
}

void TestMainWindow::textsTheUserReads()
{
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    QCOMPARE(window->windowTitle(), QString("Orvanta"));
    QVERIFY(window->windowFlags() & Qt::WindowStaysOnTopHint);

    struct Text { const char *name; const char *property; const char *value; };
    const Text texts[] = {
        {"startBtn_1", "text", "Start"},
        {"cmdStart", "text", "Start"},
        {"stopBtn", "text", "Stop"},
        {"numberEdit", "inputMask", "999-999-999;_"},
        {"numberEdit", "placeholderText", "000-000-000"},
        {"txtURL", "placeholderText", "Server (host:port)"},
        {"txtStreamID", "placeholderText", "Stream ID"},
        {"spbLatency", "toolTip", "Latency"},
        {"spbLatency", "text", "120 ms"},
        {"chkCombined", "text", "Two-frames mode"},
        {"modeLbl", "text", "Advanced form >>>"},
        {"lblStudioPreview", "text", ""},
        {"rbScreen", "text", "Screen"},
        {"rbScreen", "toolTip", "only screen (Ctrl + 2)"},
        {"rbCamera", "text", "Camera"},
        {"rbCamera", "toolTip", "only camera (Ctrl + 1)"},
        {"rbMix", "text", "Mix"},
        {"rbMix", "toolTip", "camera + screen (Ctrl + 3)"},
        {"menuTools", "title", "Tools"},
        {"menuAdmin", "title", "Admin"},
        {"actionSpeed_Test", "text", "Speed Test"},
        {"actionLogs", "text", "Logs"},
        {"actionDistr", "text", "Prepare Distributive"},
        {"actionCopy_Link", "text", "Generate Link"},
    };
    for (const Text &t : texts) {
        QObject *object = window->findChild<QObject *>(t.name);
        QVERIFY2(object, t.name);
        QCOMPARE(object->property(t.property).toString(), QString::fromUtf8(t.value));
    }
    QCOMPARE(ui->spbLatency->minimum(), 10);
    QCOMPARE(ui->spbLatency->maximum(), 1000);
    QCOMPARE(ui->numberEdit->maxLength(), 11);
    QCOMPARE(ui->cmbABR->count(), 3);
    QCOMPARE(ui->cmbABR->itemText(0), QString("64"));
    QCOMPARE(ui->cmbABR->itemText(2), QString("256"));
    QCOMPARE(ui->cmbFrames->count(), 3);
    QCOMPARE(ui->cmbFrames->itemData(0).toSize(), QSize(960, 540));
    QCOMPARE(ui->cmbFrames->itemData(1).toSize(), QSize(1280, 720));
    QCOMPARE(ui->cmbFrames->itemText(2), QString("FullHD"));
    QCOMPARE(ui->cmbFrames->itemData(2).toSize(), QSize(1920, 1080));

    // The source buttons show their pictures; the arrows theirs once shown.
    const QList<QPushButton *> pictured = {ui->videoBtn, ui->screenBtn, ui->audioBtn,
                                           ui->cropBtn,  ui->leftArrow, ui->rightArrow};
    for (QPushButton *button : pictured)
        QVERIFY2(!button->icon().isNull(), qPrintable(button->objectName()));

    // Menus: Tools holds Admin, Speed Test, Logs; Admin holds the two exports.
    const auto toolActions = ui->menuTools->actions();
    QCOMPARE(toolActions.size(), 3);
    QCOMPARE(toolActions.at(0)->menu(), ui->menuAdmin);
    QCOMPARE(toolActions.at(1), ui->actionSpeed_Test);
    QCOMPARE(toolActions.at(2), ui->actionLogs);
    QCOMPARE(ui->menuAdmin->actions(), (QList<QAction *>{ui->actionDistr, ui->actionCopy_Link}));
    QCOMPARE(ui->menubar->actions(), (QList<QAction *>{ui->menuTools->menuAction()}));
    QCOMPARE(ui->menubar->layoutDirection(), Qt::RightToLeft);

    // Source menus hang on their buttons; the window list has its title.
    QVERIFY(ui->videoBtn->menu());
    QVERIFY(ui->screenBtn->menu());
    QVERIFY(ui->audioBtn->menu());
    bool windowsMenuFound = false;
    for (QMenu *menu : window->findChildren<QMenu *>(QString(), Qt::FindDirectChildrenOnly))
        windowsMenuFound |= menu->title() == "Active windows";
    QVERIFY(windowsMenuFound);

    // Status bar: version on the left, CPU label with its tool tip on the right.
    bool versionFound = false;
    bool cpuFound = false;
    for (QLabel *label : ui->statusbar->findChildren<QLabel *>()) {
        versionFound |= label->text() == " ver 1.0 (build 22)";
        cpuFound |= label->toolTip() == "Total CPU activity";
    }
    QVERIFY(versionFound);
    QVERIFY(cpuFound);
}

// Top to bottom: the pages, the control bar (52 px), the source choice; the
// frame below them is collapsed.
void TestMainWindow::checkWindowBands(Ui::MainWindow *ui)
{
    QWidget *central = ui->centralwidget;
    QCOMPARE(ui->stackedWidget->geometry().topLeft(), QPoint(0, 0));
    QCOMPARE(ui->stackedWidget->width(), central->width());
    QCOMPARE(ui->controlFrame->geometry(),
             QRect(0, ui->stackedWidget->geometry().bottom() + 1 + 4, central->width(), 52));
    QCOMPARE(ui->sourceFrame->y(), ui->controlFrame->geometry().bottom() + 1 + 4);
    QCOMPARE(ui->sourceFrame->width(), central->width());
    QCOMPARE(ui->bottomFrame->height(), 0);
    QCOMPARE(ui->bottomFrame->geometry().bottom() + 1, central->height());
}

// The small preview at the top left, the number field centred with Start
// right below its right end, the form switch at the bottom right.
void TestMainWindow::checkSimpleForm(Ui::MainWindow *ui)
{
    QWidget *page = ui->connectionPage;
    QCOMPARE(rectIn(ui->frameInFrame_1, page), QRect(QPoint(8, 4), smallFrameSize(page->width(), false)));
    const QSize field(ui->simplePage->width() / 2, ui->simplePage->height() / 4);
    QCOMPARE(ui->numberEdit->size(), field);
    const QRect number = rectIn(ui->numberEdit, ui->simplePage);
    QVERIFY(qAbs(number.left() - (ui->simplePage->width() - 1 - number.right())) <= 1);
    const QRect start = rectIn(ui->startBtn_1, ui->simplePage);
    QCOMPARE(start.right(), number.right());
    QCOMPARE(start.top(), number.bottom() + 1 + 4);
    const QRect mode = rectIn(ui->modeLbl, page);
    QVERIFY(mode.right() < page->width() - 4 && mode.right() > page->width() - 20);
    QVERIFY(mode.bottom() < page->height() - 4 && mode.bottom() > page->height() - 30);
    QVERIFY(mode.top() > rectIn(ui->connectionStack, page).bottom() - 8);
}

// 135 px high, centred, the server field across the three middle columns,
// the rows in their order, Start at the right end.
void TestMainWindow::checkAdvancedForm(Ui::MainWindow *ui)
{
    QCOMPARE(ui->connectionStack->height(), 135);
    QWidget *form = ui->advancedPage;
    const QRect url = rectIn(ui->txtURL, form);
    QVERIFY(qAbs(url.left() - (form->width() - 1 - url.right())) <= 1);
    QCOMPARE(rectIn(ui->txtStreamID, form).left(), url.left());
    QCOMPARE(rectIn(ui->cmbEncs, form).left(), url.left());
    QCOMPARE(rectIn(ui->cmbFrames, form).left(), url.left());
    QCOMPARE(rectIn(ui->cmbABR, form).right(), url.right());
    QCOMPARE(rectIn(ui->spbLatency, form).left(), rectIn(ui->cmbABR, form).left());
    QCOMPARE(rectIn(ui->cmdStart, form).right(), url.right());
    QCOMPARE(rectIn(ui->spbVBR, form).top(), rectIn(ui->txtStreamID, form).top());
    QCOMPARE(rectIn(ui->chkCombined, form).left(), rectIn(ui->spbVBR, form).left());
    QCOMPARE(ui->spbLatency->width(), 80);
    QCOMPARE(ui->cmdStart->width(), 80);
    const QList<QWidget *> rows = {ui->txtURL, ui->txtStreamID, ui->cmbEncs, ui->cmbFrames, ui->cmdStart};
    for (int i = 1; i < rows.size(); ++i)
        QVERIFY2(rectIn(rows.at(i), form).top() > rectIn(rows.at(i - 1), form).bottom(),
                 qPrintable(rows.at(i)->objectName()));
    const QList<QWidget *> fields = {ui->txtURL, ui->txtStreamID, ui->spbVBR, ui->cmbABR, ui->cmbEncs, ui->spbLatency};
    for (QWidget *row : fields)
        QVERIFY2(row->height() >= 22, qPrintable(row->objectName()));
    QVERIFY(ui->cmdStart->height() >= 18);
}

void TestMainWindow::keyGeometryOfPagesAndForms()
{
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->size(), QSize(620, 440));
    QCOMPARE(window->minimumSize(), QSize(424, 400));
    QCoreApplication::processEvents();
    checkWindowBands(ui);
    checkSimpleForm(ui);
    QTest::mouseClick(ui->modeLbl, Qt::LeftButton);
    QCoreApplication::processEvents();
    checkAdvancedForm(ui);
    QTest::mouseClick(ui->modeLbl, Qt::LeftButton);
    if (QTest::currentTestFailed())
        return;

    // Preview page: the feedback picture fills the frame, the small preview
    // sits where it sat on the connection page.
    const QPoint smallAt = ui->frameInFrame_1->pos();
    QTest::mouseClick(ui->frameInFrameLbl_1, Qt::LeftButton);
    QCoreApplication::processEvents();
    QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::PreviewPage));
    QCOMPARE(ui->frameInFrame_2->pos(), smallAt);
    const int w = int(ui->previewPage->width() * 0.2);
    QCOMPARE(ui->frameInFrame_2->size(), QSize(w, qRound(w * 0.75f)) + QSize(4, 4));
    QCOMPARE(ui->lblStudioPreview->geometry(), ui->previewFrame->geometry());
}

// Every control of the window carries a tool tip and an accessible name,
// placeholders are whole, and with the program's style sheet a disabled
// button and the chosen source look different from the others.
void TestMainWindow::everyControlIsNamedAndReadable()
{
    qApp->setStyleSheet(Startup::styleSheet() + Startup::readabilityStyleSheet());
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QTest::mouseClick(ui->modeLbl, Qt::LeftButton);
    QCoreApplication::processEvents();
    QCOMPARE(ui->connectionStack->currentIndex(), int(MainWindow::AdvancedPage));
    int controls = 0;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        // A spin box's or combo box's own line edit is part of it.
        if (qobject_cast<QAbstractSpinBox *>(widget->parentWidget()) || qobject_cast<QComboBox *>(widget->parentWidget()))
            continue;
        const bool control = qobject_cast<QAbstractButton *>(widget) || qobject_cast<QLineEdit *>(widget)
                             || qobject_cast<QAbstractSpinBox *>(widget) || qobject_cast<QComboBox *>(widget)
                             || qobject_cast<TLabel *>(widget);
        // Qt's own (the menu bar's overflow button) are not the form's.
        if (!control || widget->objectName().startsWith("qt_") || widget->window() != window.get())
            continue;
        ++controls;
        QVERIFY2(!widget->toolTip().isEmpty(), qPrintable(widget->objectName()));
        QVERIFY2(!widget->accessibleName().isEmpty(), qPrintable(widget->objectName()));
        auto *edit = qobject_cast<QLineEdit *>(widget);
        if (edit && edit->isVisible() && !edit->placeholderText().isEmpty()) {
            const int needed = edit->fontMetrics().horizontalAdvance(edit->placeholderText());
            // QLineEdit keeps 2 px of margin on each side of its text.
            QVERIFY2(needed <= edit->contentsRect().width() - 4,
                     qPrintable(QString("%1: %2 px for \"%3\" in %4")
                                    .arg(edit->objectName()).arg(needed).arg(edit->placeholderText())
                                    .arg(edit->contentsRect().width())));
        }
    }
    QVERIFY2(controls >= 28, qPrintable(QString::number(controls)));
    QCOMPARE(ui->spbVBR->toolTip(), QString("Video bit rate, kbit/s"));
    QCOMPARE(ui->spbVBR->suffix(), QString(" kbit/s"));
    QCOMPARE(ui->spbLatency->toolTip(), QString("Latency"));
    QCOMPARE(ui->spbLatency->accessibleName(), QString("Latency, ms"));
    QCOMPARE(ui->rbScreen->toolTip(), QString("only screen (Ctrl + 2)"));
    WindowChecks::saveShot(window.get(), "advanced-form");

    // Camera only: the screen and crop buttons are off and look it.
    QVERIFY(ui->rbCamera->isChecked());
    QVERIFY(!ui->screenBtn->isEnabled());
    const QImage enabled = ui->videoBtn->grab().toImage();
    const QImage disabled = ui->screenBtn->grab().toImage();
    QVERIFY(enabled.pixelColor(4, 4) != disabled.pixelColor(4, 4));
    // The chosen radio button is drawn in the accent colour, the others not.
    auto accentPixels = [](QWidget *widget) {
        const QImage image = widget->grab().toImage();
        int count = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                count += qAbs(c.red() - 0xEA) < 24 && qAbs(c.green() - 0x70) < 24 && qAbs(c.blue() - 0x0C) < 24;
            }
        return count;
    };
    QVERIFY(accentPixels(ui->rbCamera) > 20);
    QCOMPARE(accentPixels(ui->rbScreen), 0);
    WindowChecks::saveShot(window.get(), "camera-only");
    window.reset();
    qApp->setStyleSheet(QString());
}

void TestMainWindow::speedTestAdviceSetsTheVideoRate()
{
    auto window = makeWindow();
    auto *dialog = window->findChild<SpeedTest *>();
    QVERIFY(dialog);
    emit dialog->videoRateChosen(1920);
    QCOMPARE(window->form()->spbVBR->value(), 1920);
}

// The meter beside the microphone button rises with the test pattern's tone
// (a quarter of full scale, -15 dB) and falls back to nothing without sound.
void TestMainWindow::levelMeterFollowsTheSound()
{
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    auto *meter = window->findChild<TLevelMeter *>("levelMeter");
    QVERIFY(meter);
    QCOMPARE(meter->parentWidget(), ui->controlFrame);
    QVERIFY(!meter->toolTip().isEmpty() && !meter->accessibleName().isEmpty());
    // The device lists are read in the background; once they are in, the
    // menus choose their devices again.
    auto *registry = window->findChild<DeviceRegistry *>();
    QVERIFY(registry);
    QTRY_VERIFY_WITH_TIMEOUT(registry->isFilled(), 10000);
    QTest::qWait(200);
    // The button names the sound device in use (without a sound server there is none).
    if (!ui->audioBtn->menu()->actions().isEmpty())
        QVERIFY2(ui->audioBtn->toolTip().startsWith("Microphone: choose the sound source (now: "),
                 qPrintable(ui->audioBtn->toolTip()));
    Mixer *mixer = window->mediaMixer();
    QVERIFY(mixer->setVideoDevice("Test Pattern"));
    mixer->setAudioDevice("NO_AUDIO");
    mixer->setSystemSound(false);
    setMFDevice(mixer->device(), mf::eMFDT_VideoAudio, "Test Pattern Tone");
    QTRY_VERIFY_WITH_TIMEOUT(meter->fill() > 0.6 && meter->fill() < 0.9, 10000);
    QVERIFY2(meter->toolTip().endsWith(" dB"), qPrintable(meter->toolTip()));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    WindowChecks::saveShot(window.get(), "sound-meter");
    setMFDevice(mixer->device(), mf::eMFDT_VideoAudio, "<No Audio>");
    QTRY_COMPARE_WITH_TIMEOUT(meter->fill(), 0.0, 10000);
    QVERIFY(meter->toolTip().endsWith("no sound"));
}

void TestMainWindow::statusTextsFitTheDefaultSize_data()
{
    using Tone = SessionStatus::Tone;
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("details");
    QTest::addColumn<int>("tone");
    QTest::newRow("idle") << QString() << QString() << int(Tone::Neutral);
    QTest::newRow("connecting") << "Connecting…" << "to streaming.example.org:9000" << int(Tone::Neutral);
    QTest::newRow("live, long figures")
        << "LIVE 12:34:56"
        << "99999 kbit/s, RTT 1234 ms, loss 12.5 %, retransmitted 12.5 %, dropped 1234 packets, 99 frames; "
           "video 1.1 of 2.0 Mbit/s: the connection carries about 1.3 Mbit/s"
        << int(Tone::Warning);
    QTest::newRow("server silent") << "No answer from the server for 12 s"
                                   << "1397 kbit/s, RTT 0 ms, loss 0.0 %, retransmitted 0.0 %, dropped 26 packets, 0 frames"
                                   << int(Tone::Warning);
    QTest::newRow("reconnecting, longest")
        << "Server lost — retrying in 10 s (attempt 12)"
        << "Cannot connect to streaming.example.org:9000: SRT CONNECT FAILED (connection timed out)"
        << int(Tone::Warning);
    QTest::newRow("first failure") << QString()
                                   << "Cannot connect to 127.0.0.1:9000: SRT CONNECT FAILED (connection timed out)"
                                   << int(Tone::Error);
}

// Whatever the broadcast shows, at the default size the state stands whole,
// cut figures have their whole text in the tool tip, and the CPU indicator
// stays in view.
void TestMainWindow::statusTextsFitTheDefaultSize()
{
    QFETCH(QString, state);
    QFETCH(QString, details);
    QFETCH(int, tone);
    // With the program's own style sheet: its bold 13 px status texts.
    qApp->setStyleSheet(Startup::styleSheet() + Startup::readabilityStyleSheet());
    auto window = makeWindow();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->size(), QSize(620, 440));
    auto *area = window->findChild<StatusArea *>("statusArea");
    QVERIFY(area);
    const SessionStatus status{state, details, SessionStatus::Tone(tone)};
    area->showStatus(status);
    const QStringList problems = WindowChecks::statusBarProblems(window->statusBar());
    QVERIFY2(problems.isEmpty(), qPrintable(problems.join('\n')));
    QCOMPARE(area->toolTip(), status.fullText());
    auto *stateLabel = window->findChild<QLabel *>("sessionState");
    QVERIFY(stateLabel);
    QCOMPARE(stateLabel->isVisibleTo(window.get()), !state.isEmpty());
    WindowChecks::saveShot(window.get(), QString("status-") + QTest::currentDataTag());
    window.reset();
    qApp->setStyleSheet(QString());
}

void TestMainWindow::constructionLeavesTheSimpleForm()
{
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
    QCOMPARE(ui->connectionStack->currentIndex(), int(MainWindow::SimplePage));
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QCOMPARE(window->size(), QSize(620, 440));
    QVERIFY(!ui->stopBtn->isVisible());
    QVERIFY(!ui->leftArrow->isVisible());
    QVERIFY(!ui->rightArrow->isVisible());
    QVERIFY(!ui->chkSystemAudio->isVisible());
    QVERIFY(!ui->chkSmartMute->isChecked());
    QVERIFY(ui->numberEdit->isVisible());
    QCOMPARE(ui->bottomFrame->height(), 0);
}

void TestMainWindow::freshProfileDefaults()
{
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    QCOMPARE(ui->spbVBR->value(), 128);
    QCOMPARE(ui->cmbABR->currentText(), QString("64"));
    QCOMPARE(ui->cmbFrames->currentText(), QString("HD"));
    QVERIFY(!ui->chkCombined->isChecked());
    QVERIFY(ui->rbCamera->isChecked());
    QVERIFY(!ui->rbScreen->isChecked());
    QVERIFY(ui->txtURL->text().isEmpty());
    QVERIFY(ui->txtStreamID->text().isEmpty());
    QCOMPARE(ui->numberEdit->text(), QString("--"));
    // The encoders this machine offers, in table order, the codec as item data.
    const auto offered = EncoderConfig::offeredEncoders(mf::MFWriter::availableVideoCodecs());
    QVERIFY(!offered.isEmpty());
    QCOMPARE(ui->cmbEncs->count(), offered.size());
    for (int i = 0; i < offered.size(); ++i) {
        QCOMPARE(ui->cmbEncs->itemText(i), offered.at(i).text);
        QCOMPARE(ui->cmbEncs->itemData(i).toString(), offered.at(i).codec);
    }
    QCOMPARE(ui->cmbEncs->currentIndex(), 0);
    // Camera only: the screen controls are off until two-frames mode.
    QVERIFY(!ui->screenBtn->isEnabled());
    QVERIFY(!ui->cropBtn->isEnabled());
    QVERIFY(ui->sourceFrame->isVisibleTo(window.get()));
}

void TestMainWindow::settingsRoundTripThroughIniFile()
{
    store({{"NUMBER", "123-456-789"}});
    {
        auto window = makeWindow();
        Ui::MainWindow *ui = window->form();
        QCOMPARE(ui->numberEdit->text(), QString("123-456-789"));
        // Adapting the rate is on unless the user turned it off.
        QVERIFY(ui->chkAdaptRate->isChecked());
        QCOMPARE(ui->chkAdaptRate->text(), QString("adapt the bit rate to the connection"));
        ui->chkAdaptRate->setChecked(false);
        ui->txtURL->setText("studio.example:9000");
        ui->txtStreamID->setText(" desk 7 ");
        ui->spbVBR->setValue(3072);
        ui->cmbABR->setCurrentText("256");
        ui->cmbFrames->setCurrentText("SD");
        ui->chkCombined->setChecked(true);
        ui->chkSystemAudio->setChecked(true);
        ui->rbMix->click();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        window->close();
    }
    QSettings ini(iniPath(), QSettings::IniFormat);
    QCOMPARE(ini.value("URL").toString(), QString("studio.example:9000"));
    QCOMPARE(ini.value("STREAMID").toString(), QString(" desk 7 "));
    QCOMPARE(ini.value("VBR").toInt(), 3072);
    QCOMPARE(ini.value("ABR").toString(), QString("256"));
    QCOMPARE(ini.value("FRAME").toString(), QString("SD"));
    QCOMPARE(ini.value("COMBINED").toBool(), true);
    QCOMPARE(ini.value("SYSAUDIO").toBool(), true);
    QCOMPARE(ini.value("ADAPT_RATE").toBool(), false);
    QCOMPARE(ini.value("MODE").toString(), QString("MIX"));
    QVERIFY(!ini.value("GEOMETRY").toByteArray().isEmpty());
    QVERIFY(!ini.value("STATE").toByteArray().isEmpty());
    QVERIFY(ini.contains("ENCSV"));
    QVERIFY(!ini.contains("LOOKUP_ORIGIN"));
    QVERIFY(!ini.contains("UPDATE_URL"));

    auto again = makeWindow();
    Ui::MainWindow *ui = again->form();
    QCOMPARE(ui->txtURL->text(), QString("studio.example:9000"));
    QCOMPARE(ui->txtStreamID->text(), QString(" desk 7 "));
    QCOMPARE(ui->spbVBR->value(), 3072);
    QCOMPARE(ui->cmbABR->currentText(), QString("256"));
    QCOMPARE(ui->cmbFrames->currentText(), QString("SD"));
    QVERIFY(ui->chkCombined->isChecked());
    QVERIFY(ui->chkSystemAudio->isChecked());
    QVERIFY(!ui->chkAdaptRate->isChecked());
    QVERIFY(ui->rbMix->isChecked());
    QVERIFY(!ui->sourceFrame->isVisibleTo(again.get()));
}

void TestMainWindow::unknownStoredItemsKeepCurrentItem()
{
    store({{"ABR", "96"}, {"FRAME", "4K"}, {"MODE", "SIDEWAYS"}, {"VBR", "lots"}});
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    QCOMPARE(ui->cmbABR->currentText(), QString("64"));
    QCOMPARE(ui->cmbFrames->currentText(), QString("SD")); // first item stays
    QCOMPARE(ui->spbVBR->value(), 128);
    QVERIFY(!ui->rbCamera->isChecked());
    QVERIFY(!ui->rbScreen->isChecked());
    QVERIFY(!ui->rbMix->isChecked());
}

void TestMainWindow::linkFields_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("streamId");
    QTest::addColumn<int>("vbr");
    QTest::addColumn<QString>("abr");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<bool>("combined");
    // Stored: stored:1 / storedId / 4096 / 256 / SD, two-frames on.
    QTest::newRow("all six fields")
        << "orvanta://h:9000/id/2048/128/HD/DBL" << "h:9000" << "id" << 2048 << "128" << "HD" << true;
    QTest::newRow("two fields only")
        << "orvanta://h:9000/id" << "h:9000" << "id" << 4096 << "256" << "SD" << false;
    QTest::newRow("dbl in lower case")
        << "orvanta://h:9000/id/2048/128/FullHD/dbl" << "h:9000" << "id" << 2048 << "128" << "FullHD" << true;
    QTest::newRow("dbl in mixed case")
        << "orvanta://h:9000/id/2048/64/HD/dBl" << "h:9000" << "id" << 2048 << "64" << "HD" << true;
    QTest::newRow("sixth field not DBL")
        << "orvanta://h:9000/id/2048/64/HD/DBLX" << "h:9000" << "id" << 2048 << "64" << "HD" << false;
    QTest::newRow("non-numeric bit rate")
        << "orvanta://h:9000/id/fast" << "h:9000" << "id" << 128 << "256" << "SD" << false;
    QTest::newRow("empty fields keep stored values")
        << "orvanta://h:9000////HD/" << "h:9000" << "storedId" << 4096 << "256" << "HD" << false;
    QTest::newRow("unknown items keep stored values")
        << "orvanta://h:9000/id/1024/96/4K/DBL" << "h:9000" << "id" << 1024 << "256" << "SD" << true;
    QTest::newRow("bit rate above range")
        << "orvanta://h:9000/id/999999" << "h:9000" << "id" << 100000 << "256" << "SD" << false;
    QTest::newRow("only the first scheme separator counts")
        << "x://a://b/c" << "a:" << "storedId" << 128 << "256" << "SD" << false;
    QTest::newRow("more than six fields")
        << "orvanta://h:1/id/512/64/SD/DBL/extra" << "h:1" << "id" << 512 << "64" << "SD" << true;
    QTest::newRow("without scheme separator: ignored")
        << "h:9000/id/2048/128/HD/DBL" << "stored:1" << "storedId" << 4096 << "256" << "SD" << true;
}

void TestMainWindow::linkFields()
{
    QFETCH(QString, link);
    store({{"URL", "stored:1"}, {"STREAMID", "storedId"}, {"VBR", 4096}, {"ABR", "256"},
           {"FRAME", "SD"}, {"COMBINED", true}, {"MODE", "SCREEN"}});
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    QVERIFY(ui->chkCombined->isChecked());
    window->loadSettings(link);

    QTEST(ui->txtURL->text(), "url");
    QTEST(ui->txtStreamID->text(), "streamId");
    QTEST(ui->spbVBR->value(), "vbr");
    QTEST(ui->cmbABR->currentText(), "abr");
    QTEST(ui->cmbFrames->currentText(), "frame");
    QTEST(ui->chkCombined->isChecked(), "combined");
    QTEST(!ui->sourceFrame->isVisibleTo(window.get()), "combined");
    // Refilled, not appended.
    QCOMPARE(ui->cmbABR->count(), 3);
    QCOMPARE(ui->cmbEncs->count(), EncoderConfig::offeredEncoders(mf::MFWriter::availableVideoCodecs()).size());
}

void TestMainWindow::linkArgumentStartsAtOnce()
{
    {
        auto window = makeWindow("orvanta://127.0.0.1:9/cam1/2048/128/FullHD/dbl");
        Ui::MainWindow *ui = window->form();
        QCOMPARE(ui->txtURL->text(), QString("127.0.0.1:9"));
        QCOMPARE(ui->txtStreamID->text(), QString("cam1"));
        QVERIFY(ui->chkCombined->isChecked());
        // Start was clicked: preview page with the Stop button.
        QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::PreviewPage));
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        QVERIFY(ui->stopBtn->isVisible());
        QTest::mouseClick(ui->stopBtn, Qt::LeftButton);
        QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
        QVERIFY(!ui->stopBtn->isVisible());
        window->close();
    }
    QSettings ini(iniPath(), QSettings::IniFormat);
    QCOMPARE(ini.value("URL").toString(), QString("127.0.0.1:9"));
    QCOMPARE(ini.value("STREAMID").toString(), QString("cam1"));
    QCOMPARE(ini.value("VBR").toInt(), 2048);
    QCOMPARE(ini.value("ABR").toString(), QString("128"));
    QCOMPARE(ini.value("FRAME").toString(), QString("FullHD"));
    QCOMPARE(ini.value("COMBINED").toBool(), true);

    ini.setValue("URL", "stored:1");
    ini.sync();

    // Without "://" the argument is no link: nothing filled, nothing started.
    auto plain = makeWindow("h:9000/id/2048/128/HD/DBL");
    QCOMPARE(plain->form()->txtURL->text(), QString("stored:1"));
    QCOMPARE(plain->form()->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
}

void TestMainWindow::closeWritesIniAndRemovesTemporaryFolder()
{
    QVERIFY(!QFile::exists(iniPath()) || QFileInfo(iniPath()).size() == 0);
    auto window = makeWindow();
    const QString folder = window->temporaryFolderPath();
    QCOMPARE(QFileInfo(folder).dir().path(), QDir(g_tempHome).path());
    // Mode 0700: the owner's three rights, none for group and others.
    const QFileDevice::Permissions owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    QCOMPARE(QFileInfo(folder).permissions() & owner, owner);
    QCOMPARE(int(QFileInfo(folder).permissions() & 0x0077), 0);
    QVERIFY(QFile::exists(folder + "/splash.png"));
    QCOMPARE(QImage(folder + "/splash.png").size(), QSize(1280, 720));

    window->form()->txtURL->setText("close.example:1234");
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(window->close());

    // On disk before the window (and its store) is gone.
    QFile file(iniPath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    QVERIFY(text.contains("URL=close.example:1234"));
    QVERIFY(text.contains("MODE=CAMERA"));
    QVERIFY(!QFileInfo::exists(folder));
}

void TestMainWindow::plantedLinkInSharedTemporaryFolderIsLeftAlone()
{
    // Another user's link where a shared folder name would be, pointing at
    // files that user wants deleted or overwritten.
    QTemporaryDir victim;
    QFile precious(victim.filePath("splash.png"));
    QVERIFY(precious.open(QIODevice::WriteOnly));
    precious.write("not the program's");
    precious.close();
    const QString planted = g_tempHome + "/orvanta";
    QVERIFY(QFile::link(victim.path(), planted));
    {
        auto window = makeWindow();
        QVERIFY(!window->temporaryFolderPath().startsWith(planted + "/"));
        QVERIFY(window->close());
    }
    QVERIFY(QFileInfo(planted).isSymLink());
    QVERIFY(precious.open(QIODevice::ReadOnly));
    QCOMPARE(precious.readAll(), QByteArray("not the program's"));
    QCOMPARE(QDir(victim.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"splash.png"});
    QVERIFY(QFile::remove(planted));
}

void TestMainWindow::twoWindowsKeepTheirOwnFolders()
{
    auto first = makeWindow();
    auto second = makeWindow();
    const QString firstFolder = first->temporaryFolderPath();
    const QString secondFolder = second->temporaryFolderPath();
    QVERIFY(firstFolder != secondFolder);
    QVERIFY(first->close());
    QVERIFY(!QFileInfo::exists(firstFolder));
    // Closing one leaves the other's picture for its player.
    QCOMPARE(QImage(secondFolder + "/splash.png").size(), QSize(1280, 720));
    first.reset();
    QVERIFY(QFileInfo::exists(secondFolder + "/splash.png"));
    QVERIFY(second->close());
    QVERIFY(!QFileInfo::exists(secondFolder));
}

void TestMainWindow::deploymentValuesDefaultAndOverride()
{
    {
        auto window = makeWindow();
        QCOMPARE(window->lookupOrigin(), DeploymentSettings::defaultLookupOrigin());
        QCOMPARE(window->updateUrl(), DeploymentSettings::defaultUpdateUrl());
        window->close();
    }
    QSettings ini(iniPath(), QSettings::IniFormat);
    QVERIFY(!ini.contains("LOOKUP_ORIGIN"));
    QVERIFY(!ini.contains("UPDATE_URL"));

    store({{"LOOKUP_ORIGIN", "http://127.0.0.1:8080"},
           {"UPDATE_URL", "http://127.0.0.1:8080/downloads/orvanta_win.json"}});
    auto window = makeWindow();
    QCOMPARE(window->lookupOrigin(), QString("http://127.0.0.1:8080"));
    QCOMPARE(window->updateUrl(), QString("http://127.0.0.1:8080/downloads/orvanta_win.json"));
    QSettings direct(QSettings::IniFormat, QSettings::UserScope, "Velmora", "Orvanta");
    QCOMPARE(DeploymentSettings::lookupOrigin(direct), QString("http://127.0.0.1:8080"));
}

QString TestMainWindow::closeMessageBox()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
        return QString();
    const QString seen = box->windowTitle() + "|" + box->text();
    box->button(QMessageBox::Ok)->click();
    return seen;
}

void TestMainWindow::serverWithoutPortWarns()
{
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    ui->txtURL->setText("srt://studio.example");
    QString seen;
    QTimer closer;
    closer.setInterval(20);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        const QString text = closeMessageBox();
        if (!text.isEmpty())
            seen = text;
    });
    closer.start();
    QTimer::singleShot(5000, [] {
        if (QApplication::activeModalWidget())
            QApplication::activeModalWidget()->close();
    });
    ui->cmdStart->click();
    closer.stop();
    QCOMPARE(seen, QString("Warning|Incorrect SRT Server. Please enter host and port."));
    QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
    QVERIFY(!ui->stopBtn->isVisible());
    QVERIFY(!QFile::exists(iniPath()) || !QSettings(iniPath(), QSettings::IniFormat).contains("URL"));
}

void TestMainWindow::formSwitchAndPreviewClicks()
{
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));

    QTest::mouseClick(ui->modeLbl, Qt::LeftButton);
    QCOMPARE(ui->connectionStack->currentIndex(), int(MainWindow::AdvancedPage));
    QCOMPARE(ui->modeLbl->text(), QString("Simple form >>>"));
    QTest::mouseClick(ui->modeLbl, Qt::RightButton);
    QCOMPARE(ui->connectionStack->currentIndex(), int(MainWindow::AdvancedPage));
    QTest::mouseClick(ui->modeLbl, Qt::LeftButton);
    QCOMPARE(ui->connectionStack->currentIndex(), int(MainWindow::SimplePage));
    QCOMPARE(ui->modeLbl->text(), QString("Advanced form >>>"));

    // Small preview clicked: preview page with a fresh "connecting" label.
    TLabel *before = ui->frameInFrameLbl_2;
    QTest::mouseClick(ui->frameInFrameLbl_1, Qt::LeftButton);
    QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::PreviewPage));
    TLabel *after = ui->frameInFrameLbl_2;
    QVERIFY(after != before);
    QCOMPARE(after->objectName(), QString("frameInFrameLbl_2"));
    QVERIFY(!after->pixmap(Qt::ReturnByValue).isNull());
    QVERIFY(after->hasScaledContents());
    QCOMPARE(window->findChildren<TLabel *>("frameInFrameLbl_2").size(), 1);
    QCOMPARE(ui->gridLayout_2->indexOf(after), 0);
    QTRY_VERIFY_WITH_TIMEOUT(after->isVisible(), 2000);

    // Not streaming: a click on it goes back to the connection page.
    QTest::mouseClick(after, Qt::LeftButton);
    QCOMPARE(ui->stackedWidget->currentIndex(), int(MainWindow::ConnectionPage));
}

void TestMainWindow::ctrlDigitsSelectSourcesOutsideTwoFramesMode()
{
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(ui->rbCamera->isChecked());

    QTest::keyClick(window.get(), Qt::Key_2, Qt::ControlModifier);
    QVERIFY(ui->rbScreen->isChecked());
    QVERIFY(ui->screenBtn->isEnabled());
    QTest::keyClick(window.get(), Qt::Key_3, Qt::ControlModifier);
    QVERIFY(ui->rbMix->isChecked());
    QTest::keyClick(window.get(), Qt::Key_1, Qt::AltModifier);
    QVERIFY(ui->rbMix->isChecked());
    QTest::keyClick(window.get(), Qt::Key_1, Qt::ControlModifier | Qt::ShiftModifier);
    QVERIFY(ui->rbMix->isChecked());
    QTest::keyClick(window.get(), Qt::Key_1, Qt::ControlModifier);
    QVERIFY(ui->rbCamera->isChecked());
    QVERIFY(!ui->screenBtn->isEnabled());

    // Two-frames mode: the shortcuts do nothing, the screen controls are on.
    ui->chkCombined->setChecked(true);
    QVERIFY(!ui->radioGroup->isVisible());
    QVERIFY(ui->screenBtn->isEnabled());
    QTest::keyClick(window.get(), Qt::Key_2, Qt::ControlModifier);
    QVERIFY(ui->rbCamera->isChecked());
    QVERIFY(!ui->rbScreen->isChecked());
}

void TestMainWindow::relayoutSizesThePreviewFrame()
{
    auto window = makeWindow();
    Ui::MainWindow *ui = window->form();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    window->resize(900, 600);
    QTRY_COMPARE_WITH_TIMEOUT(ui->connectionPage->width() > 800, true, 2000);
    QCoreApplication::processEvents();

    const QSize single = smallFrameSize(ui->connectionPage->width(), false);
    QCOMPARE(ui->frameInFrame_1->maximumSize(), single);
    QCOMPARE(ui->connectionFrame->maximumHeight(), single.height());
    QCOMPARE(ui->numberEdit->minimumSize(), ui->numberEdit->maximumSize());
    QVERIFY(ui->numberEdit->maximumWidth() >= 200);

    ui->chkCombined->setChecked(true);
    QCOMPARE(ui->frameInFrame_1->maximumSize(), smallFrameSize(ui->connectionPage->width(), true));
}

void TestMainWindow::displayOfRect()
{
    using P = QPair<int, int>;
    QCOMPARE(MainWindow::displayOfRect({0}, QRect(100, 0, 10, 10)), P(0, 0));
    QCOMPARE(MainWindow::displayOfRect({}, QRect(100, 0, 10, 10)), P(0, 0));
    QCOMPARE(MainWindow::displayOfRect({1920, 0}, QRect(2000, 5, 10, 10)), P(1, 1920));
    QCOMPARE(MainWindow::displayOfRect({0, 1920}, QRect(1919, 5, 10, 10)), P(0, 0));
    QCOMPARE(MainWindow::displayOfRect({0, 1920}, QRect(1920, 5, 10, 10)), P(1, 1920));
    QCOMPARE(MainWindow::displayOfRect({-1280, 0, 1920}, QRect(-10, 0, 5, 5)), P(0, -1280));
    QCOMPARE(MainWindow::displayOfRect({-1280, 0, 1920}, QRect(10, 0, 5, 5)), P(1, 0));
    QCOMPARE(MainWindow::displayOfRect({0, 1920}, QRect(-50, 0, 5, 5)), P(0, 0));
}

int main(int argc, char *argv[])
{
    PrivateHome home;
    if (!home.isValid())
        return 1;
    g_configHome = home.configDir();
    g_tempHome = home.tempDir();
    // The program's folder then goes to TMPDIR, where the tests look.
    qunsetenv("XDG_RUNTIME_DIR");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_MainWindow.moc"
