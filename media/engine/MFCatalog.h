#pragma once
#include <QStringList>

namespace mf {

// What the engine can write, for reports: the container formats the writer
// muxes and, per container, the FFmpeg encoders of this build it accepts.
class MFCatalog
{
public:
    static QStringList containers();
    static QStringList videoCodecs(const QString &container);
    static QStringList audioCodecs(const QString &container);
};

} // namespace mf
