#pragma once
#include <QMainWindow>
#include <QRect>
#include <QString>
#include <QTimer>

#include <memory>

// The window's parts by topic; the window forwards its specified slots to them.
#include "app/window/FormSettings.h"
#include "app/services/InstanceFolder.h"
#include "app/window/NumberForm.h"
#include "app/window/PageSwitcher.h"
#include "app/window/SourceControls.h"
#include "app/window/SourceMenus.h"
#include "app/window/SmartMute.h"
#include "app/window/SourceModes.h"
#include "app/window/ToolsMenu.h"
#include "media/PictureLayout.h"
#include "overlay/WCapture.h"

class BroadcastControl;
class LogsDlg;
class LinkConsent;
class UpdateChecker;
class Mixer;
class PlayerWorker;
class QAction;
class QSettings;

namespace Ui {
class MainWindow;
}

// The program's one window. It owns every long-lived object of the process
// and drives a broadcast: simple form (number), advanced form (server, stream
// ID, encoder settings), preview page while streaming.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(const QString &link, QWidget *parent = nullptr);
    ~MainWindow() override;

    // Fills the advanced form from the settings store, then from the fields of
    // a link ("scheme://host:port/streamid/vbr/abr/frame/DBL"). A non-empty
    // link without "://" is ignored.
    void loadSettings(const QString &link);
    void saveSettings();

    void toggleStreaming();
    // A link from a later start of the program: the window comes to the
    // front and, for a link, streams as with a link argument (a running
    // broadcast stops first), once the user agreed where that was needed
    // (LinkConsent). An empty text only raises the window.
    void openLink(const QString &link);
    void startMixer(quint64 window);
    void resetFeedbackLabel() { pages->resetFeedbackLabel(); }

    // The advanced form's fields as a link (server/stream/vbr/abr/frame[/DBL]).
    QString buildLink() const { return tools->buildLink(); }

signals:
    void handleChanged(quint64 handle);
    void changeCropRect(QRect rect);

private slots:
    void on_actionSpeed_Test_triggered() { tools->openSpeedTest(); }
    void on_actionLogs_triggered() { tools->openLogs(); }
    void on_rbCamera_clicked(bool checked) { chooseLayout(checked, Picture::CameraOnly); }
    void on_rbScreen_clicked(bool checked) { chooseLayout(checked, Picture::ScreenOnly); }
    void on_rbMix_clicked(bool checked) { chooseLayout(checked, Picture::ScreenWithCamera); }
    void on_chkCombined_stateChanged(int state);
    void on_chkSystemAudio_stateChanged(int arg1);
    void on_cmbFrames_currentIndexChanged(int index);
    // Ctrl+1/2/3 choose the source; other keys are not passed on.
    void keyPressEvent(QKeyEvent *e) override { modes->handleKey(e); }
    void on_actionDistr_triggered() { tools->exportDistributive(); }
    void on_actionCopy_Link_triggered() { tools->copyLink(); }
    void onVUAnalyze() { smartMute->analyze(); }
    void frameInFrameClicked() { pages->frameInFrameClicked(); }
    void currentPageChanged(int);
    // The menus are wired to the source menus themselves; these stay for
    // whoever drives the window directly.
    void videoSourceChanged(QAction *action) { sourceMenus()->videoSourceChanged(action); }
    void screenSourceChanged(QAction *action) { sourceMenus()->screenSourceChanged(action); }
    void audioSourceChanged(QAction *action) { sourceMenus()->audioSourceChanged(action); }
    void videoMenuShowed() { sourceMenus()->videoMenuShowed(); }
    void screenMenuShowed() { sourceMenus()->screenMenuShowed(); }
    void audioMenuShowed() { sourceMenus()->audioMenuShowed(); }
    void cropBtnClicked() { sources->openCropDialog(); }
    void switchConnectionPage() { pages->switchConnectionPage(); }
    void orvaLinkRequest() { numberForm->request(); }
    void orvaReplyRecieved() { numberForm->unlock(); }

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void constructForm();
    void prepareTemporaryFolder();
    void connectControls();
    void restoreWindow();
    void keepAboveMe(QWidget *window);
    static bool isLink(const QString &text);
    SourceMenus *sourceMenus() const { return sources->menus(); }
    void chooseLayout(bool checked, Picture::Layout layout)
    {
        if (checked)
            modes->choose(layout);
    }
    bool isStreaming() const;
    void createPages();
    void createBroadcastControl();
    // Asks the user whether the link may start a broadcast, where that is needed.
    void askToStart(const QString &link);
    // A link the user or his settings allowed: loaded into the form and started.
    void startLink(const QString &link);

    // A child made before the form: deleted after the player and the session
    // (members), which use it, and before the widgets it draws into.
    Mixer *mixer = nullptr;
    std::unique_ptr<Ui::MainWindow> ui;
    std::unique_ptr<LogsDlg> logsDlg; // no parent: a window of its own
    QTimer vuTimer;
    bool mixerStarted = false;
    WCapture captureFrame{false, nullptr}; // no parent: a top-level window, Close hidden
    std::unique_ptr<PlayerWorker> player;
    std::unique_ptr<SmartMute> smartMute;
    // The chosen crop rectangle is kept in the source menus; the mixer has its own copy.
    SourceControls *sources = nullptr;
    PageSwitcher *pages = nullptr;
    std::unique_ptr<FormSettings> formSettings;
    LinkConsent *linkConsent = nullptr;
    std::unique_ptr<SourceModes> modes;
    QSettings *settings = nullptr;
    ToolsMenu *tools = nullptr;
    NumberForm *numberForm = nullptr;
    UpdateChecker *updateChecker = nullptr;
    std::unique_ptr<InstanceFolder> temporaryFolder;
    QString splashPath;
    // Goes first, before the player and the mixer its session uses; the window
    // is its Qt parent too, so that the session is found among its children.
    std::unique_ptr<BroadcastControl> broadcast;
};
