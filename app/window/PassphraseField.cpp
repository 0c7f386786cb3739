#include "app/window/PassphraseField.h"

#include "app/session/BroadcastPlan.h"
#include "app/window/StatusArea.h"

#include <QLineEdit>

PassphraseField::PassphraseField(QLineEdit *field, StatusArea *area, Quiet quiet, QObject *parent)
    : QObject(parent), m_field(field), m_area(area), m_quiet(std::move(quiet)), m_toolTip(field->toolTip())
{
    connect(field, &QLineEdit::textChanged, this, &PassphraseField::check);
    // A stored passphrase is told about at once.
    if (!field->text().isEmpty())
        check();
}

QString PassphraseField::problem() const
{
    return BroadcastPlan::passphraseProblem(m_field->text().toUtf8());
}

void PassphraseField::check()
{
    const QString now = problem();
    m_field->setStyleSheet(now.isEmpty() ? QString() : QStringLiteral("QLineEdit{border: 1px solid #ff6b5a;}"));
    m_field->setToolTip(now.isEmpty() ? m_toolTip : m_toolTip + QLatin1Char('\n') + now);
    if (m_quiet && m_quiet())
        return;
    if (!now.isEmpty())
        m_area->showProblem(now);
    else if (!m_shownProblem.isEmpty() && m_area->fullText() == m_shownProblem)
        m_area->showStatus({});
    m_shownProblem = now;
}
