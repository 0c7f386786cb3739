#include "app/window/ToolsMenu.h"

#include "app/links/DistributiveExporter.h"
#include "app/window/FormSettings.h"
#include "app/links/LinkConsent.h"
#include "app/links/LinkSharing.h"
#include "app/window/LogsDlg.h"
#include "app/window/SpeedTest.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QSpinBox>
#include <QStatusBar>

namespace {
constexpr int kStatusMessageMs = 5000;
} // namespace

ToolsMenu::ToolsMenu(const Widgets &widgets, const FormSettings *form, LinkConsent *consent, LogsDlg *logs,
                     std::function<void(QWidget *)> keepAbove)
    : QObject(widgets.window)
    , m_ui(widgets)
    , m_form(form)
    , m_consent(consent)
    , m_logs(logs)
    , m_keepAbove(std::move(keepAbove))
    , m_speedTest(new SpeedTest(widgets.window))
{
    m_speedTest->setStyleSheet(QLatin1String(SpeedTest::kStyleSheet));
    connect(m_speedTest, &SpeedTest::videoRateChosen, m_ui.spbVBR, &QSpinBox::setValue);
}

void ToolsMenu::openSpeedTest()
{
    m_speedTest->setRateLimits(m_ui.cmbABR->currentText().toInt(), m_ui.spbVBR->minimum(), m_ui.spbVBR->maximum(),
                               m_ui.spbVBR->singleStep());
    m_speedTest->openFor(m_ui.txtURL->text(), m_ui.txtStreamID->text(), m_ui.spbLatency->value(),
                         m_ui.txtPassphrase->text().toUtf8());
}

void ToolsMenu::openLogs()
{
    // The main window stays on top: without this the log viewer opens behind it.
    m_logs->show();
    m_keepAbove(m_logs);
    m_logs->raise();
    m_logs->activateWindow();
}

void ToolsMenu::exportDistributive()
{
    // The exported start script must carry a link the program accepts as one.
    // The user chose the copy's server by exporting it.
    if (DistributiveExporter(m_ui.window, QCoreApplication::applicationFilePath())
            .run(LinkSharing::shareableLink(buildLink()), !m_ui.txtPassphrase->text().isEmpty()))
        m_consent->confirm(m_ui.txtURL->text());
}

void ToolsMenu::copyLink()
{
    const bool carriesPassphrase = !m_ui.txtPassphrase->text().isEmpty();
    LinkSharing::copyToClipboard(buildLink(), carriesPassphrase);
    // The tray notice is invisible without a system tray.
    m_ui.statusbar->showMessage(
        QString::fromLatin1(carriesPassphrase ? LinkSharing::kCopiedWithPassphraseText : "Link copied"),
        kStatusMessageMs);
}

QString ToolsMenu::buildLink() const
{
    return LinkSharing::buildLink(m_form->linkFields());
}
