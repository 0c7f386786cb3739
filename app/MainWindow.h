#pragma once
#include <QMainWindow>
#include <QRect>
#include <QString>
#include <QTimer>

#include <memory>

#include "app/CpuLoad.h"
#include "app/LinkFields.h"
#include "overlay/WCapture.h"

class InstanceFolder;
class BroadcastSession;
class DeviceRegistry;
class LogsDlg;
class QLabel;
class NumberLookup;
class UpdateChecker;
class Mixer;
class PlayerWorker;
class QAction;
class QMenu;
class QSettings;
class SourceMenus;
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
    // broadcast stops first). An empty text only raises the window.
    void openLink(const QString &link);
    void startMixer(quint64 window);
    void resetFeedbackLabel();

    // The advanced form's fields as a link (server/stream/vbr/abr/frame[/DBL]).
    QString buildLink() const;
    LinkFields linkFields() const;

    QSettings *settingsStore() const { return settings; }
    // This instance's own temporary folder (removed at close).
    QString temporaryFolderPath() const;
    QString lookupOrigin() const;
    QString updateUrl() const;

    // Display under a rectangle: displays ordered by their left edge, the last
    // one whose left edge is at or left of rect.left(). Returns its position in
    // that order and its left edge; (0, 0) when there is one display or none
    // lies left of the rectangle.
    static QPair<int, int> displayOfRect(const QList<int> &displayLefts, const QRect &rect);

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
    void on_rbCamera_clicked(bool checked);
    void on_rbScreen_clicked(bool checked);
    void on_rbMix_clicked(bool checked);
    void on_chkCombined_stateChanged(int state);
    void on_chkSystemAudio_stateChanged(int arg1);
    void on_cmbFrames_currentIndexChanged(int index);
    void keyPressEvent(QKeyEvent *e) override;
    void on_actionDistr_triggered();
    void on_actionCopy_Link_triggered();
    void onVUAnalyze();
    void frameInFrameClicked();
    void currentPageChanged(int);
    void videoSourceChanged(QAction *action);
    void screenSourceChanged(QAction *action);
    void audioSourceChanged(QAction *action);
    void videoMenuShowed();
    void screenMenuShowed();
    void audioMenuShowed();
    void cropBtnClicked();
    void switchConnectionPage();
    void orvaLinkRequest();
    void orvaReplyRecieved();
    void captureFrameMoved(const QRect &rect);

protected:
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void constructForm();
    void prepareTemporaryFolder();
    void addStatusLabels();
    void startCpuIndicator();
    void connectControls();
    void restoreWindow();
    void createSourceMenus();
    void addLevelMeter();
    void connectWindowPicker();
    void keepAboveMe(QWidget *window);
    void prepareArrowButtons();
    void applyModeSetting();
    // The encoders this machine offers, the writer's codec as item data.
    void fillEncoderList();
    void applyLink(const QString &link);
    static bool isLink(const QString &text);
    void showSource(int layout);
    void finishPageStep();
    void layoutConnectionPage();
    void layoutSimplePage();
    void fitNumberFont(const QSize &field);
    void layoutPreviewPage();
    quint64 mixerPreviewWindow() const;
    bool startStreaming();
    void stopStreaming();
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
    QSettings *settings = nullptr;
    SpeedTest *speedTest = nullptr;
    PlayerWorker *player = nullptr;
    QTimer *cpuTimer = nullptr;
    CpuLoad cpuLoad;
    NumberLookup *numberLookup = nullptr;
    UpdateChecker *updateChecker = nullptr;
    QMenu *videoMenu = nullptr;
    QMenu *screenMenu = nullptr;
    QMenu *windowsMenu = nullptr;
    QMenu *audioMenu = nullptr;
    QRect cropRect;
    SourceMenus *sourceMenus = nullptr;
    std::unique_ptr<InstanceFolder> temporaryFolder;
    QString splashPath;
    DeviceRegistry *deviceRegistry = nullptr;
};
