#pragma once
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpacerItem>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QVBoxLayout>
#include <QWidget>

class TImageWidget;
class TLabel;
class TNumberEdit;

namespace Ui {

// The main window's form, written the way the designer tools generate it:
// every widget, layout and spacer is reachable by name.
class MainWindow
{
public:
    QAction *actionSpeed_Test;
    QAction *actionLogs;
    QAction *actionDistr;
    QAction *actionCopy_Link;
    QWidget *centralwidget;
    QVBoxLayout *verticalLayout;
    QStackedWidget *stackedWidget;

    TImageWidget *connectionPage;
    QVBoxLayout *verticalLayout_2;
    QFrame *connectionFrame;
    QHBoxLayout *framInFrameLayout_1;
    QFrame *frameInFrame_1;
    QGridLayout *gridLayout_1;
    TLabel *frameInFrameLbl_1;
    QSpacerItem *horizontalSpacer_frame1;
    QSpacerItem *verticalSpacer_top;
    QStackedWidget *connectionStack;

    QWidget *simplePage;
    QGridLayout *simpleGridLayout;
    QSpacerItem *verticalSpacer_simpleTop;
    QSpacerItem *horizontalSpacer_simpleLeft;
    TNumberEdit *numberEdit;
    QSpacerItem *horizontalSpacer_simpleRight;
    QFrame *startBtnFrame_1;
    QHBoxLayout *horizontalLayout_3;
    QSpacerItem *horizontalSpacer_start1;
    QPushButton *startBtn_1;
    QSpacerItem *verticalSpacer_simpleBottom;

    QWidget *advancedPage;
    QGridLayout *advancedGridLayout;
    QSpacerItem *verticalSpacer_advancedTop;
    QSpacerItem *horizontalSpacer_advancedLeft;
    QLineEdit *txtURL;
    QSpacerItem *horizontalSpacer_advancedRight;
    QLineEdit *txtStreamID;
    QSpinBox *spbVBR;
    QComboBox *cmbABR;
    QComboBox *cmbEncs;
    QSpinBox *spbLatency;
    QComboBox *cmbFrames;
    QCheckBox *chkCombined;
    QFrame *startBtnFrame_2;
    QHBoxLayout *horizontalLayout_4;
    QSpacerItem *horizontalSpacer_start2;
    QPushButton *cmdStart;
    QSpacerItem *verticalSpacer_advancedBottom;

    QSpacerItem *verticalSpacer_bottom;
    QFrame *modeFrame;
    QHBoxLayout *framInFrameLayout_2;
    QSpacerItem *horizontalSpacer_mode;
    TLabel *modeLbl;

    QWidget *previewPage;
    QVBoxLayout *verticalLayout_3;
    QFrame *previewFrame;
    QLabel *lblStudioPreview;
    QFrame *frameInFrame_2;
    QGridLayout *gridLayout_2;
    TLabel *frameInFrameLbl_2;

    QFrame *controlFrame;
    QHBoxLayout *horizontalLayout_2;
    QPushButton *videoBtn;
    QPushButton *screenBtn;
    QPushButton *audioBtn;
    QPushButton *cropBtn;
    QPushButton *leftArrow;
    QPushButton *rightArrow;
    QSpacerItem *horizontalSpacer_control;
    QPushButton *stopBtn;

    QFrame *sourceFrame;
    QHBoxLayout *horizontalLayout_5;
    QRadioButton *rbScreen;
    QRadioButton *rbCamera;
    QRadioButton *rbMix;
    QSpacerItem *horizontalSpacer_source;

    QFrame *bottomFrame;
    QCheckBox *chkSystemAudio;
    QGroupBox *radioGroup;
    QHBoxLayout *horizontalLayout;
    QCheckBox *chkSmartMute;

    QMenuBar *menubar;
    QMenu *menuTools;
    QMenu *menuAdmin;
    QStatusBar *statusbar;

    void setupUi(QMainWindow *window);
    void retranslateUi(QMainWindow *window);

private:
    void setupConnectionPage();
    void setupSimplePage();
    void setupAdvancedPage();
    void setupPreviewPage();
    void setupControlFrame();
    void setupSourceFrame();
    void setupBottomFrame();
    void setupMenus(QMainWindow *window);
};

} // namespace Ui
