#pragma once
// The main window's widgets as a user's tools reach them: by their object
// names. Header only (the support libraries do not link Qt Widgets).
#include "app/widgets/TLabel.h"
#include "app/widgets/TNumberEdit.h"

#include <QtWidgets>

struct WindowForm
{
    explicit WindowForm(const QWidget *window) : window(window) {}

    // The child named name; a missing one ends the suite (a renamed widget).
    template <typename T = QWidget>
    T *find(const char *name) const
    {
        T *child = window->findChild<T *>(QLatin1String(name));
        if (!child)
            qFatal("no %s named %s", T::staticMetaObject.className(), name);
        return child;
    }

    const QWidget *window;
    QStackedWidget *stackedWidget = find<QStackedWidget>("stackedWidget");
    QWidget *connectionPage = find("connectionPage");
    QFrame *connectionFrame = find<QFrame>("connectionFrame");
    QFrame *frameInFrame_1 = find<QFrame>("frameInFrame_1");
    TLabel *frameInFrameLbl_1 = find<TLabel>("frameInFrameLbl_1");
    QStackedWidget *connectionStack = find<QStackedWidget>("connectionStack");
    QWidget *simplePage = find("simplePage");
    QWidget *advancedPage = find("advancedPage");
    TNumberEdit *numberEdit = find<TNumberEdit>("numberEdit");
    QPushButton *startBtn_1 = find<QPushButton>("startBtn_1");
    TLabel *modeLbl = find<TLabel>("modeLbl");
    QLineEdit *txtURL = find<QLineEdit>("txtURL");
    QLineEdit *txtStreamID = find<QLineEdit>("txtStreamID");
    QLineEdit *txtPassphrase = find<QLineEdit>("txtPassphrase");
    QSpinBox *spbVBR = find<QSpinBox>("spbVBR");
    QSpinBox *spbLatency = find<QSpinBox>("spbLatency");
    QComboBox *cmbABR = find<QComboBox>("cmbABR");
    QComboBox *cmbEncs = find<QComboBox>("cmbEncs");
    QComboBox *cmbFrames = find<QComboBox>("cmbFrames");
    QCheckBox *chkCombined = find<QCheckBox>("chkCombined");
    QCheckBox *chkAdaptRate = find<QCheckBox>("chkAdaptRate");
    QCheckBox *chkAdaptLatency = find<QCheckBox>("chkAdaptLatency");
    QPushButton *cmdStart = find<QPushButton>("cmdStart");
    QWidget *previewPage = find("previewPage");
    QFrame *previewFrame = find<QFrame>("previewFrame");
    QLabel *lblStudioPreview = find<QLabel>("lblStudioPreview");
    QFrame *frameInFrame_2 = find<QFrame>("frameInFrame_2");
    QGridLayout *gridLayout_2 = find<QGridLayout>("gridLayout_2");
    QFrame *controlFrame = find<QFrame>("controlFrame");
    QPushButton *videoBtn = find<QPushButton>("videoBtn");
    QPushButton *screenBtn = find<QPushButton>("screenBtn");
    QPushButton *audioBtn = find<QPushButton>("audioBtn");
    QPushButton *cropBtn = find<QPushButton>("cropBtn");
    QPushButton *leftArrow = find<QPushButton>("leftArrow");
    QPushButton *rightArrow = find<QPushButton>("rightArrow");
    QPushButton *pauseBtn = find<QPushButton>("pauseBtn");
    QPushButton *stopBtn = find<QPushButton>("stopBtn");
    QFrame *sourceFrame = find<QFrame>("sourceFrame");
    QRadioButton *rbScreen = find<QRadioButton>("rbScreen");
    QRadioButton *rbCamera = find<QRadioButton>("rbCamera");
    QRadioButton *rbMix = find<QRadioButton>("rbMix");
    QFrame *bottomFrame = find<QFrame>("bottomFrame");
    QCheckBox *chkSystemAudio = find<QCheckBox>("chkSystemAudio");
    QWidget *radioGroup = find("radioGroup");
    QCheckBox *chkSmartMute = find<QCheckBox>("chkSmartMute");
    QAction *actionLogs = find<QAction>("actionLogs");
    QAction *actionCopy_Link = find<QAction>("actionCopy_Link");
    QStatusBar *statusbar = find<QStatusBar>("statusbar");

    // Made anew when the preview page opens: found each time.
    TLabel *frameInFrameLbl_2() const { return find<TLabel>("frameInFrameLbl_2"); }
};
