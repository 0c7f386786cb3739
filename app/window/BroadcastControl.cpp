#include "app/window/BroadcastControl.h"

#include "app/session/BroadcastSession.h"
#include "app/window/FormSettings.h"
#include "app/links/LinkConsent.h"
#include "app/window/PageSwitcher.h"
#include "app/window/PassphraseField.h"
#include "app/window/ScreenPause.h"
#include "app/links/ServerField.h"
#include "app/window/StatusArea.h"
#include "media/engine/MFPreview.h"

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>

BroadcastControl::BroadcastControl(const Widgets &widgets, const Parts &parts, QObject *parent)
    : QObject(parent)
    , m_ui(widgets)
    , m_parts(parts)
    , m_session(new BroadcastSession(parts.mixer, parts.player, this))
    , m_statusArea(new StatusArea(widgets.window))
    , m_screenPause(new ScreenPause(parts.mixer, widgets.pauseBtn, m_statusArea, this))
{
    m_session->setObjectName(QStringLiteral("broadcastSession"));
    m_statusArea->install(m_ui.statusbar);
    m_statusArea->follow(m_session);
    m_screenPause->follow(m_session);
    new PassphraseField(m_ui.txtPassphrase, m_statusArea, [this] { return isActive(); }, this);
    connect(m_session, &BroadcastSession::arrowsAvailable, m_parts.pages, &PageSwitcher::showArrows);
    connect(m_session, &BroadcastSession::started, this, &BroadcastControl::started);
    // A Start that did not get through returns to the form, its cause in the status line.
    connect(m_session, &BroadcastSession::failed, this, [this] {
        m_parts.pages->showArrows(false);
        finishPageStep();
    });
}

bool BroadcastControl::isActive() const
{
    return m_session->isActive();
}

void BroadcastControl::addShortcutWindow(QWidget *window)
{
    m_screenPause->addShortcutWindow(window);
}

void BroadcastControl::toggle()
{
    if (isActive())
        stop();
    else
        start();
}

bool BroadcastControl::start()
{
    const ServerField server(m_ui.txtURL->text());
    if (!server.hasPort()) {
        QMessageBox::warning(m_ui.window, QStringLiteral("Warning"), QLatin1String(ServerField::kIncorrectText),
                             QMessageBox::Ok);
        return false;
    }
    const BroadcastPlan plan = m_parts.form->broadcastPlan(server);
    const QString problem = plan.problem();
    if (!problem.isEmpty()) {
        m_statusArea->showProblem(problem);
        return false;
    }
    // The user chose this server: its links start without a question from now on.
    m_parts.consent->confirm(m_ui.txtURL->text());
    m_session->start(plan, mf::MFPreview::handleOf(m_ui.lblStudioPreview));
    finishPageStep();
    return true;
}

void BroadcastControl::stop()
{
    m_session->stop();
    m_parts.pages->showArrows(false);
    finishPageStep();
}

void BroadcastControl::finishPageStep()
{
    m_parts.pages->finishPageStep(isActive());
}
