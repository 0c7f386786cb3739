#pragma once
#include <QMainWindow>
#include <QRect>
#include <QString>
#include <QTimer>

#include <memory>

// The window's parts by topic; the window forwards its specified slots to them.
#include "app/window/CaptureFramePlacement.h"
#include "app/window/FormSettings.h"
#include "app/services/InstanceFolder.h"
#include "app/links/LinkFields.h"
#include "app/window/PageSwitcher.h"
#include "app/window/SourceControls.h"
#include "app/window/SourceMenus.h"
#include "app/window/SourceModes.h"
#include "media/PictureLayout.h"
#include "overlay/WCapture.h"

class BroadcastSession;
class LogsDlg;
class LinkConsent;
class NumberLookup;
class UpdateChecker;
class Mixer;
class PlayerWorker;
class QAction;
class QSettings;
class SpeedTest;
class StatusArea;

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
    enum StackedWidgetPage { ConnectionPage, PreviewPage };
    enum ConnectionStackPage { SimplePage, AdvancedPage };

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
    QString buildLink() const;
    LinkFields linkFields() const { return formSettings->linkFields(); }

    QSettings *settingsStore() const { return settings; }
    // This instance's own temporary folder (removed at close).
    QString temporaryFolderPath() const { return temporaryFolder->path(); }
    QString lookupOrigin() const;
    QString updateUrl() const;

    // Display under a rectangle (CaptureFramePlacement::displayOfRect).
    static int displayOfRect(const QList<QRect> &displays, const QRect &rect)
    {
        return CaptureFramePlacement::displayOfRect(displays, rect);
    }

    // The form; public so the other parts of the program (lookup, export, CPU
    // indicator, source menus) can reach its widgets.
    Ui::MainWindow *form() const { return ui; }
    // Start and Stop only set the session going; its state tells when it got there.
    const BroadcastSession *broadcastSession() const { return session.get(); }
    Mixer *mediaMixer() const { return mixer; }

signals:
    void handleChanged(quint64 handle);
    void changeCropRect(QRect rect);

private slots:
    void on_actionSpeed_Test_triggered();
    void on_actionLogs_triggered();
    void on_rbCamera_clicked(bool checked) { chooseLayout(checked, Picture::CameraOnly); }
    void on_rbScreen_clicked(bool checked) { chooseLayout(checked, Picture::ScreenOnly); }
    void on_rbMix_clicked(bool checked) { chooseLayout(checked, Picture::ScreenWithCamera); }
    void on_chkCombined_stateChanged(int state);
    void on_chkSystemAudio_stateChanged(int arg1);
    void on_cmbFrames_currentIndexChanged(int index);
    // Ctrl+1/2/3 choose the source; other keys are not passed on.
    void keyPressEvent(QKeyEvent *e) override { modes->handleKey(e); }
    void on_actionDistr_triggered();
    void on_actionCopy_Link_triggered();
    void onVUAnalyze();
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
    void orvaLinkRequest();
    void orvaReplyRecieved();

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
    void finishPageStep() { pages->finishPageStep(streaming); }
    bool startStreaming();
    void stopStreaming();
    // A link the user or his settings allowed: loaded into the form and started.
    void startLink(const QString &link);
    // What a broadcast started by this link would carry, in words.
    QStringList sentByLink(const QString &link) const;
    void createSession();

    LogsDlg *logsDlg = nullptr;
    Ui::MainWindow *ui = nullptr;
    Mixer *mixer = nullptr;
    QTimer vuTimer;
    qint32 muteHoldMs = 0;
    bool mixerStarted = false;
    WCapture captureFrame{false, nullptr}; // no parent: a top-level window, Close hidden
    bool streaming = false;
    std::unique_ptr<BroadcastSession> session;
    StatusArea *statusArea = nullptr;
    // The crop rectangle lives in the source menus (one owner).
    SourceControls *sources = nullptr;
    PageSwitcher *pages = nullptr;
    std::unique_ptr<FormSettings> formSettings;
    LinkConsent *linkConsent = nullptr;
    std::unique_ptr<SourceModes> modes;
    QSettings *settings = nullptr;
    SpeedTest *speedTest = nullptr;
    PlayerWorker *player = nullptr;
    NumberLookup *numberLookup = nullptr;
    UpdateChecker *updateChecker = nullptr;
    std::unique_ptr<InstanceFolder> temporaryFolder;
    QString splashPath;
};
