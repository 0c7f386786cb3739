#pragma once
#include <QString>

class QSettings;

// Where the lookup service and the update manifest live. Both are deployment
// values: a settings key overrides the default built into the program, and an
// empty result means the service is not used at all.
class ServiceEndpoints
{
public:
    static QString lookupOrigin(const QSettings &settings);
    static QString updateUrl(const QSettings &settings);
};
