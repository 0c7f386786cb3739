#include "app/window/NumberForm.h"

#include "app/services/DeploymentSettings.h"
#include "app/links/NumberLookup.h"
#include "app/services/SettingsKeys.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

NumberForm::NumberForm(const Widgets &widgets, QSettings *settings, QObject *parent)
    : QObject(parent), m_ui(widgets), m_settings(settings), m_lookup(new NumberLookup(widgets.window, this))
{
    connect(m_lookup, &NumberLookup::replyFinished, this, &NumberForm::replyFinished);
    connect(m_lookup, &NumberLookup::linkReceived, this, &NumberForm::linkReceived);
    const QString number = m_settings->value(SettingsKeys::Number).toString();
    if (!number.isEmpty())
        m_ui.numberEdit->setText(number);
}

void NumberForm::request()
{
    const QString number = m_ui.numberEdit->text();
    // Shows "Invalid number." itself when the text is no number.
    if (!m_lookup->request(DeploymentSettings::lookupOrigin(*m_settings), number))
        return;
    m_ui.startBtn_1->setText(QStringLiteral("Wait..."));
    m_ui.startBtn_1->setEnabled(false);
    m_ui.numberEdit->deselect();
    m_settings->setValue(SettingsKeys::Number, number);
    m_ui.modeLbl->setEnabled(false);
}

void NumberForm::unlock()
{
    m_ui.modeLbl->setEnabled(true);
    m_ui.startBtn_1->setText(QStringLiteral("Start"));
    m_ui.startBtn_1->setEnabled(true);
}
