#pragma once
#include <QString>

class QSettings;

// Where the number lookup and the update manifest live. Each value comes from
// the settings store when the user (or an administrator) put one there, else
// from the default compiled into this build; the default is never written back.
class DeploymentSettings
{
public:
    static QString lookupOrigin(const QSettings &settings);
    static QString updateUrl(const QSettings &settings);
    static QString defaultLookupOrigin();
    static QString defaultUpdateUrl();
};
