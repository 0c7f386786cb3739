#include "app/window/PageSwitcher.h"

#include "app/widgets/TLabel.h"
#include "media/Mixer.h"
#include "media/PlayerWorker.h"
#include "media/engine/MFPreview.h"
#include "transport/ArrowSender.h"

#include <QCheckBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QStackedWidget>

#include <algorithm>

namespace {
constexpr int kAdvancedFormHeight = 135;
// The small picture is a fifth of the page wide, in the 4:3 shape of a
// camera picture; its frame adds 2 px on each side.
constexpr double kSmallPictureShare = 0.2;
constexpr double kSmallPictureAspect = 0.75;
constexpr QSize kSmallFrameBorders(4, 4);
// Room the simple page keeps for its layout's margins and spacing.
constexpr int kSimplePageGaps = 16;
// Room the number field leaves around its text: its frame and margins.
constexpr int kNumberTextMarginX = 8;
constexpr int kNumberTextMarginY = 4;
constexpr QSize kArrowIconSize(30, 23);

void setFixedSizeRange(QWidget *widget, const QSize &size)
{
    widget->setMinimumSize(size);
    widget->setMaximumSize(size);
}

void setFixedHeightRange(QWidget *widget, int height)
{
    widget->setMinimumHeight(height);
    widget->setMaximumHeight(height);
}
} // namespace

PageSwitcher::PageSwitcher(const Widgets &widgets, Mixer *mixer, PlayerWorker *player, std::function<bool()> streaming)
    : QObject(widgets.window), m_ui(widgets), m_mixer(mixer), m_player(player), m_streaming(std::move(streaming))
{
    connect(m_ui.frameInFrameLbl_1, &TLabel::clicked, this, &PageSwitcher::frameClicked);
    connect(m_ui.frameInFrameLbl_2, &TLabel::clicked, this, &PageSwitcher::frameClicked);
}

void PageSwitcher::finishPageStep(bool streaming)
{
    if (streaming) {
        m_ui.stackedWidget->setCurrentIndex(PreviewPage);
        m_mixer->setPreviewWindow(mf::MFPreview::handleOf(m_ui.frameInFrameLbl_2));
        m_ui.stopBtn->show();
    } else {
        m_ui.stackedWidget->setCurrentIndex(ConnectionPage);
        m_mixer->setPreviewWindow(mf::MFPreview::handleOf(m_ui.frameInFrameLbl_1));
        m_ui.stopBtn->hide();
    }
}

void PageSwitcher::switchConnectionPage()
{
    if (m_ui.connectionStack->currentIndex() == SimplePage) {
        m_ui.connectionStack->setCurrentIndex(AdvancedPage);
        m_ui.modeLbl->setText(QStringLiteral("Simple form >>>"));
    } else {
        m_ui.connectionStack->setCurrentIndex(SimplePage);
        m_ui.modeLbl->setText(QStringLiteral("Advanced form >>>"));
    }
    relayout();
}

void PageSwitcher::frameInFrameClicked()
{
    if (m_ui.stackedWidget->currentIndex() == ConnectionPage) {
        m_ui.stackedWidget->setCurrentIndex(PreviewPage);
        m_mixer->setPreviewWindow(mf::MFPreview::handleOf(m_ui.lblStudioPreview));
        m_player->setWindow(mf::MFPreview::handleOf(m_ui.frameInFrameLbl_2));
        resetFeedbackLabel();
    } else if (!m_streaming()) {
        m_ui.stackedWidget->setCurrentIndex(ConnectionPage);
        m_mixer->setPreviewWindow(mf::MFPreview::handleOf(m_ui.frameInFrameLbl_1));
    } else {
        const quint64 mixerWindow = m_mixer->previewWindow();
        m_mixer->setPreviewWindow(m_player->window());
        m_player->setWindow(mixerWindow);
        if (m_player->isControlConnected())
            showArrows(!m_ui.leftArrow->isVisible());
    }
}

void PageSwitcher::resetFeedbackLabel()
{
    // A fresh label drops whatever native window a renderer drew into.
    TLabel *old = m_ui.frameInFrameLbl_2;
    auto *label = new TLabel(old->parentWidget());
    label->setObjectName(old->objectName());
    label->setGeometry(old->geometry());
    label->setCursor(old->cursor());
    label->setToolTip(old->toolTip());
    label->setAccessibleName(old->accessibleName());
    label->setScaledContents(true);
    label->setPixmap(QPixmap(QStringLiteral(":/connect")));
    m_ui.gridLayout_2->removeWidget(old);
    delete old;
    m_ui.frameInFrameLbl_2 = label;
    m_ui.gridLayout_2->addWidget(label, 0, 0, 1, 1);
    label->show();
    connect(label, &TLabel::clicked, this, &PageSwitcher::frameClicked);
}

void PageSwitcher::relayout()
{
    if (!m_ui.window->isVisible())
        return;
    if (m_ui.stackedWidget->currentIndex() == ConnectionPage)
        layoutConnectionPage();
    else
        layoutPreviewPage();
    // Handing a renderer its window again makes it pick up the new size.
    if (m_mixer->isRunning())
        m_mixer->setPreviewWindow(m_mixer->previewWindow());
    if (m_player->isRunning())
        m_player->setWindow(m_player->window());
}

void PageSwitcher::layoutConnectionPage()
{
    const int w = qRound(m_ui.connectionPage->width() * kSmallPictureShare);
    const int h = qRound(w * kSmallPictureAspect);
    const QSize frame = QSize(m_ui.chkCombined->isChecked() ? 2 * w : w, h) + kSmallFrameBorders;
    setFixedSizeRange(m_ui.frameInFrame_1, frame);
    setFixedHeightRange(m_ui.connectionFrame, frame.height());
    if (m_ui.connectionStack->currentIndex() == SimplePage)
        layoutSimplePage();
    else
        setFixedHeightRange(m_ui.connectionStack, kAdvancedFormHeight);
}

void PageSwitcher::layoutSimplePage()
{
    int height = m_ui.connectionPage->height() - m_ui.connectionFrame->height() - kSimplePageGaps;
    if (m_ui.sourceFrame->isVisible())
        height -= m_ui.sourceFrame->height();
    setFixedSizeRange(m_ui.connectionStack, QSize(m_ui.connectionPage->width(), height));
    const QSize field(m_ui.simplePage->width() / 2, m_ui.simplePage->height() / 4);
    setFixedSizeRange(m_ui.numberEdit, field);
    m_ui.startBtnFrame_1->setMinimumWidth(field.width());
    m_ui.startBtnFrame_1->setMaximumWidth(field.width());
    fitNumberFont(field);
}

void PageSwitcher::fitNumberFont(const QSize &field)
{
    static const QString sample = QStringLiteral("000-000-000");
    QFont font = m_ui.numberEdit->font();
    // Pixel sizes below 1 are invalid; a tiny field keeps the smallest font
    // instead of shrinking forever.
    int pixelSize = std::max(1, field.height() - kNumberTextMarginY);
    font.setPixelSize(pixelSize);
    auto tooLarge = [&](const QFont &candidate) {
        const QRect box = QFontMetrics(candidate).boundingRect(sample);
        return box.width() > field.width() - kNumberTextMarginX || box.height() > field.height() - kNumberTextMarginY;
    };
    while (pixelSize > 1 && tooLarge(font)) {
        --pixelSize;
        font.setPixelSize(pixelSize);
    }
    m_ui.numberEdit->setFont(font);
}

void PageSwitcher::layoutPreviewPage()
{
    // Truncated and in single precision, unlike the connection page: the two
    // pages' small pictures may differ by a pixel.
    const int w = int(m_ui.previewPage->width() * kSmallPictureShare);
    const int h = qRound(w * float(kSmallPictureAspect));
    const quint64 preview = m_mixer->previewWindow();
    const bool smallPreview = preview != 0
                              && (preview == m_ui.frameInFrameLbl_1->internalWinId()
                                  || preview == m_ui.frameInFrameLbl_2->internalWinId());
    const int frameWidth = m_ui.chkCombined->isChecked() && smallPreview ? 2 * w : w;
    const QSize frame = QSize(frameWidth, h) + kSmallFrameBorders;
    m_ui.frameInFrame_2->setGeometry(m_ui.frameInFrame_1->geometry());
    setFixedSizeRange(m_ui.frameInFrame_2, frame);
    m_ui.lblStudioPreview->setGeometry(m_ui.previewFrame->geometry());
}

void PageSwitcher::prepareArrows(ArrowSender *arrows)
{
    connect(m_ui.leftArrow, &QPushButton::clicked, arrows, [arrows] { arrows->arrowClicked(true); });
    connect(m_ui.rightArrow, &QPushButton::clicked, arrows, [arrows] { arrows->arrowClicked(false); });
    showArrows(false);
    m_ui.leftArrow->setIcon(QIcon(QStringLiteral(":/arrowLeft.png")));
    m_ui.rightArrow->setIcon(QIcon(QStringLiteral(":/arrowRight.png")));
    m_ui.leftArrow->setIconSize(kArrowIconSize);
    m_ui.rightArrow->setIconSize(kArrowIconSize);
}

void PageSwitcher::showArrows(bool show)
{
    m_ui.leftArrow->setVisible(show);
    m_ui.rightArrow->setVisible(show);
}
