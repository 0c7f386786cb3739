#include "app/ServiceEndpoints.h"

#include <QSettings>

QString ServiceEndpoints::lookupOrigin(const QSettings &settings)
{
    return settings.value("LOOKUP_ORIGIN", QStringLiteral(ORVANTA_DEFAULT_LOOKUP_ORIGIN)).toString().trimmed();
}

QString ServiceEndpoints::updateUrl(const QSettings &settings)
{
    return settings.value("UPDATE_URL", QStringLiteral(ORVANTA_DEFAULT_UPDATE_URL)).toString().trimmed();
}
