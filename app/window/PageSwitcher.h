#pragma once
#include <QObject>

#include <functional>

class ArrowSender;
class Mixer;
class PlayerWorker;
class QCheckBox;
class QFrame;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSize;
class QStackedWidget;
class QWidget;
class TLabel;

// The main window's pages: connection page or preview page, simple or
// advanced form, which renderer draws into which picture, and the relayout
// that sizes the small pictures and the number field to the window.
class PageSwitcher : public QObject
{
    Q_OBJECT
public:
    // The page indexes of stackedWidget and connectionStack.
    enum StackedWidgetPage { ConnectionPage, PreviewPage };
    enum ConnectionStackPage { SimplePage, AdvancedPage };

    // The widgets the pages are made of; the two-frames box and the source
    // frame are only read, for the sizes.
    struct Widgets
    {
        QWidget *window;
        QStackedWidget *stackedWidget;
        QWidget *connectionPage;
        QFrame *connectionFrame;
        QFrame *frameInFrame_1;
        TLabel *frameInFrameLbl_1;
        QStackedWidget *connectionStack;
        QWidget *simplePage;
        QLineEdit *numberEdit;
        QFrame *startBtnFrame_1;
        TLabel *modeLbl;
        QWidget *previewPage;
        QFrame *previewFrame;
        QLabel *lblStudioPreview;
        QFrame *frameInFrame_2;
        QGridLayout *gridLayout_2;
        TLabel *frameInFrameLbl_2;
        QPushButton *stopBtn;
        QPushButton *leftArrow;
        QPushButton *rightArrow;
        QFrame *sourceFrame;
        QCheckBox *chkCombined;
    };

    // streaming: whether a broadcast runs (the preview page then stays).
    PageSwitcher(const Widgets &widgets, Mixer *mixer, PlayerWorker *player, std::function<bool()> streaming);

    // The page a Start or Stop ends on.
    void finishPageStep(bool streaming);
    void switchConnectionPage();
    // A click on one of the small pictures.
    void frameInFrameClicked();
    void resetFeedbackLabel();
    // The arrow buttons send through the arrow sender; hidden until a
    // control connection is up.
    void prepareArrows(ArrowSender *arrows);
    void showArrows(bool show);
    // Nothing while the window is hidden.
    void relayout();

signals:
    // A small picture was clicked (also the feedback label made anew).
    void frameClicked();

private:
    void layoutConnectionPage();
    void layoutSimplePage();
    void fitNumberFont(const QSize &field);
    void layoutPreviewPage();

    Widgets m_ui;
    Mixer *m_mixer;
    PlayerWorker *m_player;
    std::function<bool()> m_streaming;
};
