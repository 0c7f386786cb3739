#include "app/window/FormSettings.h"

#include "app/links/LinkSharing.h"
#include "app/services/PassphraseStore.h"
#include "app/links/ServerField.h"
#include "app/services/SettingsKeys.h"
#include "app/links/StreamLink.h"
#include "media/EncoderConfig.h"
#include "media/engine/MFWriter.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDebug>
#include <QLineEdit>
#include <QRadioButton>
#include <QSettings>
#include <QSpinBox>

FormSettings::FormSettings(const Widgets &widgets, QSettings *settings)
    : m_ui(widgets), m_settings(settings), m_passphrase(std::make_unique<PassphraseStore>(settings))
{
}

FormSettings::~FormSettings() = default;

void FormSettings::fillFrameSizes() const
{
    m_ui.cmbFrames->addItem(QStringLiteral("SD"), QSize(960, 540));
    m_ui.cmbFrames->addItem(QStringLiteral("HD"), QSize(1280, 720));
    m_ui.cmbFrames->addItem(QStringLiteral("FullHD"), QSize(1920, 1080));
}

void FormSettings::fillChoices() const
{
    m_ui.cmbEncs->clear();
    for (const EncoderConfig::Encoder &row : EncoderConfig::offeredEncoders(mf::MFWriter::availableVideoCodecs()))
        m_ui.cmbEncs->addItem(row.text, row.codec);
    m_ui.cmbABR->clear();
    m_ui.cmbABR->addItems({QStringLiteral("64"), QStringLiteral("128"), QStringLiteral("256")});
}

BroadcastPlan FormSettings::broadcastPlan(const ServerField &server) const
{
    BroadcastPlan plan = BroadcastPlan::fromFields(server, m_ui.txtStreamID->text());
    plan.endpoint.latencyMs = m_ui.spbLatency->value();
    plan.videoKbps = m_ui.spbVBR->value();
    plan.audioKbps = m_ui.cmbABR->currentText().toInt();
    plan.codec = m_ui.cmbEncs->currentData().toString();
    plan.endpoint.passphrase = m_ui.txtPassphrase->text().toUtf8();
    plan.adaptRate = m_ui.chkAdaptRate->isChecked();
    plan.keepCopy = m_ui.actionKeep_Copy->isChecked();
    plan.adaptLatency = m_ui.chkAdaptLatency->isChecked();
    plan.latencyCeilingMs = m_ui.spbLatency->maximum();
    return plan;
}

LinkFields FormSettings::linkFields() const
{
    return {m_ui.txtURL->text(),        m_ui.txtStreamID->text(),      m_ui.spbVBR->value(),
            m_ui.cmbABR->currentText(), m_ui.cmbFrames->currentText(), m_ui.chkCombined->isChecked(),
            m_ui.txtPassphrase->text()};
}

// In the order the form is filled: the frame size restarts the mixer, so it
// comes after the encoder choices it is started with.
std::vector<FormSettings::Field> FormSettings::fields() const
{
    const Widgets &ui = m_ui;
    auto text = [](QLineEdit *edit) {
        return std::make_pair([edit] { return QVariant(edit->text()); },
                              [edit](const QVariant &value) { edit->setText(value.toString()); });
    };
    auto choice = [](QComboBox *box) {
        return std::make_pair([box] { return QVariant(box->currentText()); },
                              [box](const QVariant &value) { box->setCurrentText(value.toString()); });
    };
    auto tick = [](QCheckBox *box) {
        return std::make_pair([box] { return QVariant(box->isChecked()); },
                              [box](const QVariant &value) { box->setChecked(value.toBool()); });
    };
    auto field = [](const QString &key, const QVariant &fallback, auto access) {
        return Field{key, fallback, access.first, access.second};
    };
    std::vector<Field> table = {
        field(SettingsKeys::Url, QString(), text(ui.txtURL)),
        field(SettingsKeys::StreamId, QString(), text(ui.txtStreamID)),
        Field{SettingsKeys::VideoBitRate, 0, [spin = ui.spbVBR] { return QVariant(spin->value()); },
              [spin = ui.spbVBR](const QVariant &value) { spin->setValue(value.toInt()); }},
        field(SettingsKeys::AudioBitRate, QString(), choice(ui.cmbABR)),
        field(SettingsKeys::Encoder, QString(), choice(ui.cmbEncs)),
        field(SettingsKeys::Frame, QStringLiteral("HD"), choice(ui.cmbFrames)),
        Field{SettingsKeys::Combined, false, [box = ui.chkCombined] { return QVariant(box->isChecked()); }, nullptr},
        field(SettingsKeys::SystemAudio, false, tick(ui.chkSystemAudio)),
        field(SettingsKeys::AdaptRate, true, tick(ui.chkAdaptRate)),
        Field{SettingsKeys::KeepCopy, false, [action = ui.actionKeep_Copy] { return QVariant(action->isChecked()); },
              [action = ui.actionKeep_Copy](const QVariant &value) { action->setChecked(value.toBool()); }},
        field(SettingsKeys::AdaptLatency, true, tick(ui.chkAdaptLatency)),
    };
    return table;
}

void FormSettings::load() const
{
    for (const Field &entry : fields()) {
        if (entry.write)
            entry.write(m_settings->value(entry.key, entry.fallback));
    }
    m_ui.txtPassphrase->setText(m_passphrase->load());
}

bool FormSettings::storedTwoFrames() const
{
    return m_settings->value(SettingsKeys::Combined, false).toBool();
}

QString FormSettings::modeText() const
{
    if (m_ui.rbCamera->isChecked())
        return QStringLiteral("CAMERA");
    if (m_ui.rbScreen->isChecked())
        return QStringLiteral("SCREEN");
    if (m_ui.rbMix->isChecked())
        return QStringLiteral("MIX");
    return QString();
}

void FormSettings::save() const
{
    for (const Field &entry : fields())
        m_settings->setValue(entry.key, entry.read());
    m_passphrase->save(m_ui.txtPassphrase->text());
    const QString mode = modeText();
    if (!mode.isEmpty())
        m_settings->setValue(SettingsKeys::Mode, mode);
}

void FormSettings::applyMode() const
{
    const QString mode = m_settings->value(SettingsKeys::Mode, QString()).toString();
    if (mode.isEmpty() || mode == QLatin1String("CAMERA"))
        m_ui.rbCamera->click();
    else if (mode == QLatin1String("SCREEN"))
        m_ui.rbScreen->click();
    else if (mode == QLatin1String("MIX"))
        m_ui.rbMix->click();
}

void FormSettings::applyLink(const QString &link) const
{
    const StreamLink parsed(link);
    if (!parsed.isLink()) {
        qDebug() << "-- link without \"://\" ignored";
        return;
    }
    const std::pair<StreamLink::Field, QWidget *> carried[] = {
        {StreamLink::Server, m_ui.txtURL},
        {StreamLink::StreamId, m_ui.txtStreamID},
        {StreamLink::VideoBitRate, m_ui.spbVBR},
        {StreamLink::AudioBitRate, m_ui.cmbABR},
        {StreamLink::FrameName, m_ui.cmbFrames},
    };
    for (const auto &entry : carried) {
        const QString value = parsed.field(entry.first);
        if (value.isEmpty())
            continue;
        if (auto *edit = qobject_cast<QLineEdit *>(entry.second))
            edit->setText(value);
        else if (auto *spin = qobject_cast<QSpinBox *>(entry.second))
            spin->setValue(value.toInt());
        else if (auto *box = qobject_cast<QComboBox *>(entry.second))
            box->setCurrentText(value);
    }
    m_ui.chkCombined->setChecked(parsed.twoFrames());
    // Like the sixth field, a link always decides: one without a passphrase connects unencrypted.
    m_ui.txtPassphrase->setText(LinkSharing::passphraseFromField(parsed.field(StreamLink::Passphrase)));
}

QStringList FormSettings::sentWith(const QString &link) const
{
    const bool twoFrames = StreamLink(link).twoFrames();
    QStringList sent;
    if (twoFrames || !m_ui.rbScreen->isChecked())
        sent << QStringLiteral("camera");
    sent << QStringLiteral("microphone");
    if (twoFrames || !m_ui.rbCamera->isChecked())
        sent << QStringLiteral("screen");
    if (m_ui.chkSystemAudio->isChecked())
        sent << QStringLiteral("system sound");
    return sent;
}
