#include "app/window/CaptureFramePlacement.h"
#include "app/services/DeploymentSettings.h"
#include "app/window/DeviceRegistry.h"
#include "app/services/InstanceFolder.h"
#include "app/window/MainWindow.h"
#include "app/window/PageSwitcher.h"
#include "app/window/SpeedTest.h"
#include "app/window/StatusArea.h"
#include "app/services/Startup.h"
#include "app/widgets/TLabel.h"
#include "app/widgets/TLevelMeter.h"
#include "media/DeviceSelection.h"
#include "media/EncoderConfig.h"
#include "media/Mixer.h"
#include "media/engine/MFWriter.h"
#include "tests/support/BoxWatcher.h"
#include "tests/support/MessageCapture.h"
#include "tests/support/TestMain.h"
#include "tests/support/WindowChecks.h"
#include "tests/support/WindowForm.h"
#include "media/engine/MFSoundServerEvents.h"

// The window against its own settings file and temporary folder.
class TestMainWindow : public QObject
{
    Q_OBJECT
    using Window = std::unique_ptr<MainWindow>;
    Window linkWindow;  // one window for every row of the link table

    static Window makeWindow(const QString &link = QString()) { return std::make_unique<MainWindow>(link); }
    static bool show(QWidget *window)
    {
        window->show();
        return QTest::qWaitForWindowExposed(window);
    }
    static void store(const QVariantMap &values)
    {
        QSettings settings(TestMain::settingsFile(), QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            settings.setValue(it.key(), it.value());
    }
    static QRect rectIn(const QWidget *widget, const QWidget *ancestor)
    {
        return QRect(widget->mapTo(ancestor, QPoint(0, 0)), widget->size());
    }
    // The small preview frame of the connection page for a page width.
    static QSize smallFrame(int pageWidth, bool twoFrames)
    {
        const int w = qRound(pageWidth * 0.2);
        return QSize(twoFrames ? 2 * w : w, qRound(w * 0.75)) + QSize(4, 4);
    }
    // The stored fields of the form under their settings keys.
    static QVariantMap formValues(const WindowForm *ui)
    {
        const char *mode = ui->rbCamera->isChecked() ? "CAMERA"
                           : ui->rbScreen->isChecked() ? "SCREEN" : ui->rbMix->isChecked() ? "MIX" : "";
        return {{"URL", ui->txtURL->text()}, {"STREAMID", ui->txtStreamID->text()}, {"VBR", ui->spbVBR->value()},
                {"ABR", ui->cmbABR->currentText()}, {"FRAME", ui->cmbFrames->currentText()},
                {"COMBINED", ui->chkCombined->isChecked()}, {"SYSAUDIO", ui->chkSystemAudio->isChecked()},
                {"ADAPT_RATE", ui->chkAdaptRate->isChecked()}, {"ADAPT_LATENCY", ui->chkAdaptLatency->isChecked()},
                {"MODE", mode}, {"NUMBER", ui->numberEdit->text()}};
    }
    // "KEY=value" of values for each key of keys.
    static QStringList fields(const QVariantMap &values, const QVariantMap &keys)
    {
        QStringList lines;
        for (auto it = keys.cbegin(); it != keys.cend(); ++it)
            lines << it.key() + "=" + values.value(it.key()).toString();
        return lines;
    }

private slots:
    // The window's folder is to go to TMPDIR, the private one, where the tests
    // look; the windows wear the program's style sheet.
    void initTestCase()
    {
        qunsetenv("XDG_RUNTIME_DIR");
        qApp->setStyleSheet(Startup::styleSheet() + Startup::readabilityStyleSheet());
    }
    void init()
    {
        if (QTest::currentTestFunction() != QByteArray("linkFields"))
            linkWindow.reset();
        QSettings(TestMain::settingsFile(), QSettings::IniFormat).clear();
    }

    void freshWindowAndItsPages()
    {
        MessageCapture messages;
        Window window = makeWindow();
        // A renamed object or signal leaves its on_<object>_<signal> slot unconnected.
        QCOMPARE(messages.lines().filter("connectSlotsByName"), QStringList());
        const WindowForm form(window.get()), *ui = &form;
        QCOMPARE(ui->stackedWidget->widget(PageSwitcher::PreviewPage), ui->previewPage);
        QCOMPARE(ui->connectionStack->widget(PageSwitcher::AdvancedPage), ui->advancedPage);
        QVERIFY(window->windowFlags() & Qt::WindowStaysOnTopHint);
        QStringList frames;
        for (int i = 0; i < ui->cmbFrames->count(); ++i) {
            const QSize size = ui->cmbFrames->itemData(i).toSize();
            frames << QString("%1 %2x%3").arg(ui->cmbFrames->itemText(i)).arg(size.width()).arg(size.height());
        }
        QCOMPARE(frames.join(", "), QString("SD 960x540, HD 1280x720, FullHD 1920x1080"));
        for (QPushButton *button : {ui->videoBtn, ui->screenBtn, ui->audioBtn, ui->cropBtn, ui->leftArrow, ui->rightArrow})
            QVERIFY2(!button->icon().isNull(), qPrintable(button->objectName()));
        QVERIFY(ui->videoBtn->menu() && ui->screenBtn->menu() && ui->audioBtn->menu());
        emit window->findChild<SpeedTest *>()->videoRateChosen(1920);
        QCOMPARE(ui->spbVBR->value(), 1920);

        // Simple form: the small preview at the top left, the number field
        // centred with Start right below its right end, the form switch inside.
        QVERIFY(show(window.get()));
        QCoreApplication::processEvents();
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));
        QCOMPARE(ui->connectionStack->currentIndex(), int(PageSwitcher::SimplePage));
        QVERIFY(!ui->stopBtn->isVisible() && !ui->leftArrow->isVisible() && !ui->rightArrow->isVisible());
        QVERIFY(!ui->chkSystemAudio->isVisible() && !ui->chkSmartMute->isChecked());
        QCOMPARE(ui->bottomFrame->height(), 0);
        QWidget *page = ui->connectionPage;
        QCOMPARE(rectIn(ui->frameInFrame_1, page), QRect(QPoint(8, 4), smallFrame(page->width(), false)));
        const QRect number = rectIn(ui->numberEdit, ui->simplePage);
        QCOMPARE(number.size(), QSize(ui->simplePage->width() / 2, ui->simplePage->height() / 4));
        QVERIFY(qAbs(number.left() - (ui->simplePage->width() - 1 - number.right())) <= 1);
        const QRect start = rectIn(ui->startBtn_1, ui->simplePage);
        QCOMPARE(start.right(), number.right());
        QCOMPARE(start.top(), number.bottom() + 1 + 4);
        const QRect mode = rectIn(ui->modeLbl, page);
        QVERIFY(page->rect().adjusted(4, 4, -4, -4).contains(mode));
        QVERIFY(mode.top() > rectIn(ui->connectionStack, page).bottom() - 8);

        // Camera only: the screen button is off and looks it; the chosen
        // radio button is drawn in the accent colour, the others not.
        QVERIFY(ui->rbCamera->isChecked() && !ui->screenBtn->isEnabled());
        QVERIFY(ui->videoBtn->grab().toImage().pixelColor(4, 4) != ui->screenBtn->grab().toImage().pixelColor(4, 4));
        auto accentPixels = [](QWidget *widget) {
            const QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
            const auto *pixels = reinterpret_cast<const QRgb *>(image.constBits());
            return int(std::count_if(pixels, pixels + image.width() * image.height(), [](QRgb c) {
                return qAbs(qRed(c) - 0xEA) < 24 && qAbs(qGreen(c) - 0x70) < 24 && qAbs(qBlue(c) - 0x0C) < 24;
            }));
        };
        QVERIFY(accentPixels(ui->rbCamera) > 20);
        QCOMPARE(accentPixels(ui->rbScreen), 0);

        // At the default size, whatever the broadcast shows, the status line
        // keeps the state whole, cut figures whole in the tool tip, and the CPU
        // indicator in view.
        QCOMPARE(window->size(), QSize(620, 440));
        auto *area = window->findChild<StatusArea *>("statusArea");
        auto *stateLabel = window->findChild<QLabel *>("sessionState");
        QVERIFY(area && stateLabel);
        QVERIFY(area->x() < ui->statusbar->findChild<QLabel *>("cpuLabel")->x());
        using Tone = SessionStatus::Tone;
        const QString refused = "Cannot connect to streaming.example.org:9000: SRT CONNECT FAILED (connection timed out)";
        const SessionStatus statuses[] = {
            {"LIVE 12:34:56",
             "99999 kbit/s, RTT 1234 ms, latency 1000 ms, loss 12.5 %, retransmitted 12.5 %, dropped 1234 packets, 99 frames; "
             "video 1.1 of 2.0 Mbit/s: the connection carries about 1.3 Mbit/s",
             Tone::Warning},
            {"Server lost — retrying in 10 s (attempt 12)", refused, Tone::Warning},
            {"Reconnecting…", "latency raised to 1000 ms for a round trip of 1234 ms", Tone::Neutral},
            {QString(), refused, Tone::Error},
            {QString(), QString(), Tone::Neutral},
        };
        for (const SessionStatus &status : statuses) {
            area->showStatus(status);
            const QStringList problems = WindowChecks::statusBarProblems(window->statusBar());
            QVERIFY2(problems.isEmpty(), qPrintable(status.fullText() + ":\n" + problems.join('\n')));
            QCOMPARE(area->toolTip(), status.fullText());
            QCOMPARE(stateLabel->isVisibleTo(window.get()), !status.state.isEmpty());
        }

        // Advanced form: 135 px high, its rows not squashed, its texts readable;
        // only a left click switches, with a modifier key too.
        QTest::mouseClick(ui->modeLbl, Qt::LeftButton, Qt::ControlModifier);
        QCOMPARE(ui->connectionStack->currentIndex(), int(PageSwitcher::AdvancedPage));
        QCOMPARE(ui->modeLbl->text(), QString("Simple form >>>"));
        QTRY_COMPARE(ui->connectionStack->height(), 135);
        QCoreApplication::processEvents();
        // Every control has a tool tip and an accessible name, placeholders are whole.
        int controls = 0;
        for (QWidget *widget : window->findChildren<QWidget *>()) {
            // A spin box's or combo box's own line edit is part of it; Qt's
            // own (the menu bar's overflow button) are not the form's.
            QWidget *parent = widget->parentWidget();
            if (qobject_cast<QAbstractSpinBox *>(parent) || qobject_cast<QComboBox *>(parent)
                || widget->objectName().startsWith("qt_") || widget->window() != window.get()
                || !(qobject_cast<QAbstractButton *>(widget) || qobject_cast<QLineEdit *>(widget)
                     || qobject_cast<QAbstractSpinBox *>(widget) || qobject_cast<QComboBox *>(widget)
                     || qobject_cast<TLabel *>(widget)))
                continue;
            ++controls;
            QVERIFY2(!widget->toolTip().isEmpty() && !widget->accessibleName().isEmpty(), qPrintable(widget->objectName()));
            auto *edit = qobject_cast<QLineEdit *>(widget);
            if (edit && edit->isVisible() && !edit->placeholderText().isEmpty()) {
                // QLineEdit keeps 2 px of margin on each side of its text.
                const int needed = edit->fontMetrics().horizontalAdvance(edit->placeholderText());
                QVERIFY2(needed <= edit->contentsRect().width() - 4, qPrintable(edit->objectName()));
            }
        }
        QVERIFY2(controls >= 28, qPrintable(QString::number(controls)));
        QCOMPARE(ui->txtURL->palette().color(QPalette::Text), QColor("#EA700C"));
        QCOMPARE(QFontInfo(ui->txtURL->font()).pixelSize(), 14);
        QCOMPARE(ui->cmbABR->palette().color(QPalette::ButtonText), QColor("#EA700C"));
        for (QWidget *row : QList<QWidget *>{ui->txtURL, ui->txtStreamID, ui->spbVBR, ui->cmbABR, ui->cmbEncs, ui->spbLatency})
            QVERIFY2(row->height() >= 22, qPrintable(row->objectName()));
        QVERIFY(ui->cmdStart->height() >= 18);
        QTest::mouseClick(ui->modeLbl, Qt::RightButton);
        QTest::mouseClick(ui->modeLbl, Qt::MiddleButton);
        QCOMPARE(ui->connectionStack->currentIndex(), int(PageSwitcher::AdvancedPage));
        QTest::mouseClick(ui->modeLbl, Qt::LeftButton);
        QCOMPARE(ui->connectionStack->currentIndex(), int(PageSwitcher::SimplePage));
        QCOMPARE(ui->modeLbl->text(), QString("Advanced form >>>"));

        // Small preview clicked: the preview page with a fresh "connecting"
        // label in the small frame, where it sat on the connection page, and
        // the feedback picture filling the page.
        QCoreApplication::processEvents();
        const QPoint smallAt = ui->frameInFrame_1->pos();
        TLabel *before = ui->frameInFrameLbl_2();
        QTest::mouseClick(ui->frameInFrameLbl_1, Qt::LeftButton);
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::PreviewPage));
        TLabel *after = ui->frameInFrameLbl_2();
        QVERIFY(after != before);
        QCOMPARE(window->findChildren<TLabel *>("frameInFrameLbl_2"), QList<TLabel *>{after});
        QVERIFY(!after->pixmap(Qt::ReturnByValue).isNull() && after->hasScaledContents());
        QCOMPARE(ui->gridLayout_2->indexOf(after), 0);
        QTRY_VERIFY(after->isVisible());
        QCOMPARE(ui->frameInFrame_2->pos(), smallAt);
        const int w = int(ui->previewPage->width() * 0.2);
        QCOMPARE(ui->frameInFrame_2->size(), QSize(w, qRound(w * 0.75f)) + QSize(4, 4));
        QCOMPARE(ui->lblStudioPreview->geometry(), ui->previewFrame->geometry());
        // Not streaming: a click on it goes back.
        QTest::mouseClick(after, Qt::LeftButton);
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));

        // A larger window lays the page out again, two-frames mode too.
        window->resize(900, 600);
        QTRY_VERIFY(page->width() > 800);
        QCoreApplication::processEvents();
        QCOMPARE(ui->frameInFrame_1->maximumSize(), smallFrame(page->width(), false));
        QCOMPARE(ui->connectionFrame->maximumHeight(), smallFrame(page->width(), false).height());
        QCOMPARE(ui->numberEdit->minimumSize(), ui->numberEdit->maximumSize());
        QVERIFY(ui->numberEdit->maximumWidth() >= 200);

        // Ctrl+1/2/3 choose the source, other modifiers do not.
        QVERIFY(ui->rbCamera->isChecked());
        QTest::keyClick(window.get(), Qt::Key_2, Qt::ControlModifier);
        QVERIFY(ui->rbScreen->isChecked() && ui->screenBtn->isEnabled());
        QTest::keyClick(window.get(), Qt::Key_3, Qt::ControlModifier);
        QVERIFY(ui->rbMix->isChecked());
        QTest::keyClick(window.get(), Qt::Key_1, Qt::AltModifier);
        QTest::keyClick(window.get(), Qt::Key_1, Qt::ControlModifier | Qt::ShiftModifier);
        QVERIFY(ui->rbMix->isChecked());
        QTest::keyClick(window.get(), Qt::Key_1, Qt::ControlModifier);
        QVERIFY(ui->rbCamera->isChecked() && !ui->screenBtn->isEnabled() && !ui->cropBtn->isEnabled());
        // Two-frames mode: the shortcuts do nothing, the screen controls are on.
        ui->chkCombined->setChecked(true);
        QVERIFY(!ui->radioGroup->isVisible() && ui->screenBtn->isEnabled());
        QTest::keyClick(window.get(), Qt::Key_2, Qt::ControlModifier);
        QVERIFY(ui->rbCamera->isChecked() && !ui->rbScreen->isChecked());
        QCOMPARE(ui->frameInFrame_1->maximumSize(), smallFrame(page->width(), true));
    }

    // The meter beside the microphone button rises with the test pattern's tone
    // (a quarter of full scale, -15 dB) and falls back to nothing without sound.
    void levelMeterFollowsTheSound()
    {
        auto window = makeWindow();
        const WindowForm form(window.get()), *ui = &form;
        auto *meter = window->findChild<TLevelMeter *>("levelMeter");
        QVERIFY(meter && meter->parentWidget() == ui->controlFrame);
        QVERIFY(!meter->toolTip().isEmpty() && !meter->accessibleName().isEmpty());
        // Once the device lists are read in the background, the menus choose their devices again.
        auto *registry = window->findChild<DeviceRegistry *>();
        QTRY_VERIFY_WITH_TIMEOUT(registry && registry->isFilled() && !registry->isLookingUp(), 10000);
        // The button names the sound device in use (without a sound server there is none).
        if (!registry->audioDevices().isEmpty())
            QVERIFY2(ui->audioBtn->toolTip().startsWith("Microphone: choose the sound source (now: "),
                     qPrintable(ui->audioBtn->toolTip()));
        auto *mixer = window->findChild<Mixer *>("mixer");
        QVERIFY(mixer->setVideoDevice("Test Pattern"));
        mixer->setAudioDevice("NO_AUDIO");
        mixer->setSystemSound(false);
        setMFDevice(mixer->device(), mf::eMFDeviceType::VideoAudio, "Test Pattern Tone");
        QTRY_VERIFY_WITH_TIMEOUT(meter->fill() > 0.6 && meter->fill() < 0.9, 10000);
        QVERIFY2(meter->toolTip().endsWith(" dB"), qPrintable(meter->toolTip()));
        setMFDevice(mixer->device(), mf::eMFDeviceType::VideoAudio, "<No Audio>");
        QTRY_COMPARE_WITH_TIMEOUT(meter->fill(), 0.0, 10000);
        QVERIFY(meter->toolTip().endsWith("no sound"));

        // The sound server's loss stays on the status line, beside the broadcast's state, until
        // the last stream that lost it is back; then it says so for a while.
        auto *sound = window->findChild<QLabel *>("soundServerStatus");
        QVERIFY(sound && !sound->isVisibleTo(window.get()));
        auto &events = mf::MFSoundServerEvents::instance();
        events.streamLost();
        events.streamLost();
        QTRY_VERIFY(sound->isVisibleTo(window.get()));
        QCOMPARE(sound->text(), QString("Sound server lost — reconnecting"));
        QVERIFY(window->findChild<QLabel *>("sessionStatus")->isVisibleTo(window.get()));
        events.streamBack();
        QTest::qWait(50);
        QCOMPARE(sound->text(), QString("Sound server lost — reconnecting"));
        events.streamBack();
        QTRY_COMPARE(sound->text(), QString("Sound is back"));
    }

    // What is stored fills the form (unknown items keep the form's own); on
    // close the form is stored again, and a new window shows it.
    void settingsLoadAndSave_data()
    {
        QTest::addColumn<QVariantMap>("stored");
        QTest::addColumn<QVariantMap>("shown");
        const QVariantMap defaults{{"URL", ""}, {"STREAMID", ""}, {"VBR", 128}, {"ABR", "64"}, {"FRAME", "HD"},
                                   {"COMBINED", false}, {"SYSAUDIO", false}, {"ADAPT_RATE", true},
                                   {"ADAPT_LATENCY", true}, {"MODE", "CAMERA"}, {"NUMBER", "--"}};
        QTest::newRow("fresh profile") << QVariantMap() << defaults;
        QVariantMap unknown = defaults;
        unknown.insert({{"FRAME", "SD"}, {"MODE", ""}, {"NUMBER", "123-456-789"}});
        QTest::newRow("unknown items, deployment values")
            << QVariantMap{{"ABR", "96"}, {"FRAME", "4K"}, {"MODE", "SIDEWAYS"}, {"VBR", "lots"},
                           {"NUMBER", "123-456-789"}, {"LOOKUP_ORIGIN", "http://127.0.0.1:8080"},
                           {"UPDATE_URL", "http://127.0.0.1:8080/downloads/orvanta_win.json"}}
            << unknown;
    }

    void settingsLoadAndSave()
    {
        QFETCH(QVariantMap, stored);
        QFETCH(QVariantMap, shown);
        store(stored);
        const QVariantMap edited{{"URL", "studio.example:9000"}, {"STREAMID", " desk 7 "}, {"VBR", 3072},
                                 {"ABR", "256"}, {"FRAME", "SD"}, {"COMBINED", true}, {"SYSAUDIO", true},
                                 {"ADAPT_RATE", false}, {"ADAPT_LATENCY", false}, {"MODE", "MIX"}};
        {
            auto window = makeWindow();
            const WindowForm form(window.get()), *ui = &form;
            QCOMPARE(fields(formValues(ui), shown), fields(shown, shown));
            QVERIFY(ui->sourceFrame->isVisibleTo(window.get()));
            const QSettings deployment(TestMain::settingsFile(), QSettings::IniFormat);
            QCOMPARE(DeploymentSettings::lookupOrigin(deployment),
                     stored.value("LOOKUP_ORIGIN", DeploymentSettings::defaultLookupOrigin()).toString());
            QCOMPARE(DeploymentSettings::updateUrl(deployment),
                     stored.value("UPDATE_URL", DeploymentSettings::defaultUpdateUrl()).toString());
            ui->txtURL->setText("studio.example:9000");
            ui->txtStreamID->setText(" desk 7 ");
            ui->spbVBR->setValue(3072);
            ui->cmbABR->setCurrentText("256");
            ui->cmbFrames->setCurrentText("SD");
            ui->chkCombined->setChecked(true);
            ui->chkSystemAudio->setChecked(true);
            ui->chkAdaptRate->setChecked(false);
            ui->chkAdaptLatency->setChecked(false);
            ui->rbMix->click();
            QVERIFY(show(window.get()));
            QVERIFY(window->close());
            // On disk before the window (and its store) is gone.
            QSettings ini(TestMain::settingsFile(), QSettings::IniFormat);
            QVariantMap written;
            for (const QString &key : ini.allKeys())
                written[key] = ini.value(key);
            QCOMPARE(fields(written, edited), fields(edited, edited));
            QVERIFY(!written.value("GEOMETRY").toByteArray().isEmpty() && !written.value("STATE").toByteArray().isEmpty());
            QVERIFY(written.contains("ENCSV"));
            QCOMPARE(written.contains("LOOKUP_ORIGIN"), stored.contains("LOOKUP_ORIGIN"));
            QCOMPARE(written.contains("UPDATE_URL"), stored.contains("UPDATE_URL"));
        }
        auto again = makeWindow();
        const WindowForm shownAgain(again.get());
        QCOMPARE(fields(formValues(&shownAgain), edited), fields(edited, edited));
        QVERIFY(!shownAgain.sourceFrame->isVisibleTo(again.get()));
    }

    // Over what is stored (stored:1 / storedId / 4096 / 256 / SD, two-frames
    // mode with the screen): empty fields and unknown items keep the stored
    // value, the sixth field decides two-frames mode. How a link's text splits
    // into fields is the link's own suite's.
    void linkFields_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("shown");  // server, stream ID, video and sound rates, frame, two frames
        QTest::newRow("all six fields")
            << "orvanta://h:9000/id/2048/128/HD/dbl" << "h:9000 id 2048 128 HD true";
        QTest::newRow("two fields only") << "orvanta://h:9000/id" << "h:9000 id 4096 256 SD false";
        QTest::newRow("non-numeric bit rate") << "orvanta://h:9000/id/fast" << "h:9000 id 128 256 SD false";
        QTest::newRow("empty fields keep stored values")
            << "orvanta://h:9000////HD/" << "h:9000 storedId 4096 256 HD false";
        QTest::newRow("unknown items keep stored values")
            << "orvanta://h:9000/id/1024/96/4K/DBL" << "h:9000 id 1024 256 SD true";
        QTest::newRow("bit rate above range")
            << "orvanta://h:9000/id/999999" << "h:9000 id 100000 256 SD false";
        QTest::newRow("without scheme separator: ignored")
            << "h:9000/id/2048/128/HD/DBL" << "stored:1 storedId 4096 256 SD true";
    }

    void linkFields()
    {
        QFETCH(QString, link);
        QFETCH(QString, shown);
        store({{"URL", "stored:1"}, {"STREAMID", "storedId"}, {"VBR", 4096}, {"ABR", "256"},
               {"FRAME", "SD"}, {"COMBINED", true}, {"MODE", "SCREEN"}});
        if (!linkWindow)
            linkWindow = makeWindow();
        const WindowForm form(linkWindow.get()), *ui = &form;
        linkWindow->loadSettings(QString());
        QVERIFY(ui->chkCombined->isChecked());
        linkWindow->loadSettings(link);
        const QVariantMap values = formValues(ui);
        QStringList shownValues;
        for (const char *key : {"URL", "STREAMID", "VBR", "ABR", "FRAME", "COMBINED"})
            shownValues << values.value(key).toString();
        QCOMPARE(shownValues.join(' '), shown);
        QCOMPARE(ui->sourceFrame->isVisibleTo(linkWindow.get()), !ui->chkCombined->isChecked());
        // Refilled, not appended: the encoders this machine offers, in table
        // order, the codec as item data, the first one chosen.
        QCOMPARE(ui->cmbABR->count(), 3);
        const auto offered = EncoderConfig::offeredEncoders(mf::MFWriter::availableVideoCodecs());
        QVERIFY(!offered.empty());
        QCOMPARE(ui->cmbEncs->count(), int(offered.size()));
        for (int i = 0; i < ui->cmbEncs->count(); ++i)
            QCOMPARE(ui->cmbEncs->itemText(i) + " " + ui->cmbEncs->itemData(i).toString(),
                     offered[i].text + " " + offered[i].codec);
        QCOMPARE(ui->cmbEncs->currentIndex(), 0);
    }

    // An argument that is no link starts nothing (a link's Start is the
    // session suite's). Start with a server without a port only warns, with a
    // port out of range it says so in the status line; Enter on an incomplete
    // number answers, and a copied link is confirmed.
    void startFromTheForm()
    {
        store({{"URL", "stored:1"}});
        auto plain = makeWindow("h:9000/id/2048/128/HD/DBL");
        const WindowForm form(plain.get()), *ui = &form;
        QCOMPARE(ui->txtURL->text(), QString("stored:1"));
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));
        QVERIFY(show(plain.get()));
        ui->txtURL->setText("srt://studio.example");
        BoxWatcher watcher;
        ui->cmdStart->click();
        QCOMPARE(watcher.title + "|" + watcher.text, QString("Warning|Incorrect SRT Server. Please enter host and port."));
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));
        QVERIFY(!ui->stopBtn->isVisible());
        QCOMPARE(QSettings(TestMain::settingsFile(), QSettings::IniFormat).value("URL").toString(), QString("stored:1"));
        ui->txtURL->setText("127.0.0.1:74876");
        ui->cmdStart->click();
        QCOMPARE(plain->findChild<QLabel *>("sessionStatus")->text(),
                 QString("The server port must be a number from 1 to 65535."));
        QCOMPARE(ui->stackedWidget->currentIndex(), int(PageSwitcher::ConnectionPage));
        ui->numberEdit->setFocus();
        ui->numberEdit->setText("1234");
        BoxWatcher numberBox;
        QTest::keyClick(ui->numberEdit, Qt::Key_Return);
        QTRY_COMPARE(numberBox.text, QString("Invalid number."));
        QCOMPARE(ui->startBtn_1->text(), QString("Start"));
        ui->actionCopy_Link->trigger();
        QCOMPARE(plain->statusBar()->currentMessage(), QString("Link copied"));
    }

    // Each window has a folder of its own with the splash picture, removed at
    // its close (where and how the folder is made is its own suite's).
    void temporaryFolders()
    {
        // The folders under the private temporary location are the windows'.
        auto newFolder = [seen = QStringList()]() mutable {
            QStringList now = QDir(InstanceFolder::baseLocation()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
            for (const QString &name : qAsConst(seen))
                now.removeOne(name);
            seen += now;
            return now.size() == 1 ? InstanceFolder::baseLocation() + "/" + now.first() : QString();
        };
        newFolder();
        auto first = makeWindow();
        const QString folder = newFolder();
        auto second = makeWindow();
        const QString secondFolder = newFolder();
        QVERIFY(!folder.isEmpty() && !secondFolder.isEmpty());
        QCOMPARE(QImage(folder + "/splash.png").size(), QSize(1280, 720));
        QVERIFY(first->close());
        QVERIFY(!QFileInfo::exists(folder));
        first.reset();
        QCOMPARE(QImage(secondFolder + "/splash.png").size(), QSize(1280, 720));
    }

    // The display is chosen by the left edges, and named by its place in
    // Qt's list, which need not run left to right.
    void displayOfRect_data()
    {
        QTest::addColumn<QList<int>>("lefts");  // in Qt's screen order
        QTest::addColumn<int>("x");
        QTest::addColumn<int>("display");
        QTest::newRow("one display") << QList<int>{0} << 100 << 0;
        QTest::newRow("none") << QList<int>{} << 100 << 0;
        QTest::newRow("left of the right one") << QList<int>{0, 1920} << 1919 << 0;
        QTest::newRow("at the right one's edge") << QList<int>{0, 1920} << 1920 << 1;
        QTest::newRow("left of every display") << QList<int>{0, 1920} << -50 << 0;
        QTest::newRow("three, left of zero") << QList<int>{-1280, 0, 1920} << -10 << 0;
        QTest::newRow("three, the middle one") << QList<int>{-1280, 0, 1920} << 10 << 1;
        QTest::newRow("right one listed first, on it") << QList<int>{1920, 0} << 2000 << 0;
        QTest::newRow("right one listed first, on the left") << QList<int>{1920, 0} << 100 << 1;
        QTest::newRow("left of every display, listed second") << QList<int>{1920, 0} << -50 << 1;
        QTest::newRow("three out of order") << QList<int>{0, 3840, 1920} << 2500 << 2;
    }
    void displayOfRect()
    {
        QFETCH(QList<int>, lefts);
        QFETCH(int, x);
        QFETCH(int, display);
        QList<QRect> displays;
        for (const int left : lefts)
            displays << QRect(left, 0, 1280, 1080);
        QCOMPARE(CaptureFramePlacement::displayOfRect(displays, QRect(x, 5, 10, 10)), display);
    }
};

ORVANTA_TEST_MAIN(TestMainWindow, TestMain::Offscreen | TestMain::PrivateFolders)
#include "tst_MainWindow.moc"
