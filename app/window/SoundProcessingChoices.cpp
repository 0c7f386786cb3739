#include "app/window/SoundProcessingChoices.h"

#include "app/services/SettingsKeys.h"
#include "media/Mixer.h"

#include <QAction>
#include <QMenu>
#include <QSettings>

SoundProcessingChoices::SoundProcessingChoices(QSettings *settings, Mixer *mixer, QObject *parent)
    : QObject(parent), m_settings(settings), m_mixer(mixer)
{
    m_echoCancellation = makeChoice(QStringLiteral("Echo cancellation"), QStringLiteral("actEchoCancellation"),
                                    SettingsKeys::EchoCancel);
    m_noiseSuppression = makeChoice(QStringLiteral("Noise suppression"), QStringLiteral("actNoiseSuppression"),
                                    SettingsKeys::NoiseSuppress);
    apply();
}

QAction *SoundProcessingChoices::makeChoice(const QString &text, const QString &objectName, const QString &key)
{
    auto *action = new QAction(text, this);
    action->setObjectName(objectName);
    action->setCheckable(true);
    action->setChecked(m_settings->value(key, true).toBool());
    connect(action, &QAction::toggled, this, [this, key](bool on) {
        m_settings->setValue(key, on);
        apply();
    });
    return action;
}

void SoundProcessingChoices::appendTo(QMenu *menu) const
{
    menu->addSeparator();
    menu->addAction(m_echoCancellation);
    menu->addAction(m_noiseSuppression);
}

bool SoundProcessingChoices::owns(const QAction *action) const
{
    return action == m_echoCancellation || action == m_noiseSuppression;
}

void SoundProcessingChoices::apply()
{
    m_mixer->setSoundProcessing({m_echoCancellation->isChecked(), m_noiseSuppression->isChecked()});
}
