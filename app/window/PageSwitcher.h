#pragma once
#include <QObject>

#include <functional>

class ArrowSender;
class Mixer;
class PlayerWorker;
class QSize;
class QWidget;

namespace Ui {
class MainWindow;
}

// The main window's pages: connection page or preview page, simple or
// advanced form, which renderer draws into which picture, and the relayout
// that sizes the small pictures and the number field to the window.
class PageSwitcher : public QObject
{
    Q_OBJECT
public:
    // streaming: whether a broadcast runs (the preview page then stays).
    PageSwitcher(QWidget *window, Ui::MainWindow *ui, Mixer *mixer, PlayerWorker *player,
                 std::function<bool()> streaming);

    // The page a Start or Stop ends on.
    void finishPageStep(bool streaming);
    void switchConnectionPage();
    // A click on one of the small pictures.
    void frameInFrameClicked();
    void resetFeedbackLabel();
    // The arrow buttons send through the arrow sender; hidden until a
    // control connection is up.
    void prepareArrows(ArrowSender *arrows);
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

    QWidget *m_window;
    Ui::MainWindow *m_ui;
    Mixer *m_mixer;
    PlayerWorker *m_player;
    std::function<bool()> m_streaming;
};
