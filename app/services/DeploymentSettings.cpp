#include "app/services/DeploymentSettings.h"

#include "app/services/SettingsKeys.h"

#include <QSettings>

#ifndef ORVANTA_DEFAULT_LOOKUP_ORIGIN
#define ORVANTA_DEFAULT_LOOKUP_ORIGIN ""
#endif
#ifndef ORVANTA_DEFAULT_UPDATE_URL
#define ORVANTA_DEFAULT_UPDATE_URL ""
#endif

QString DeploymentSettings::lookupOrigin(const QSettings &settings)
{
    return settings.value(SettingsKeys::LookupOrigin, defaultLookupOrigin()).toString();
}

QString DeploymentSettings::updateUrl(const QSettings &settings)
{
    return settings.value(SettingsKeys::UpdateUrl, defaultUpdateUrl()).toString();
}

QString DeploymentSettings::defaultLookupOrigin()
{
    return QStringLiteral(ORVANTA_DEFAULT_LOOKUP_ORIGIN);
}

QString DeploymentSettings::defaultUpdateUrl()
{
    return QStringLiteral(ORVANTA_DEFAULT_UPDATE_URL);
}
