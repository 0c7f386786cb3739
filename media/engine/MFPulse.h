#pragma once
#include <QList>
#include <QString>

namespace mf {

// What the sound server offers, asked for with a bounded wait. Without a
// reachable server the lists are empty.
class MFPulse
{
public:
    struct Source
    {
        QString name;        // the server's name, used to record from it
        QString description; // what users see
    };
    struct Inventory
    {
        bool serverReachable = false;
        QList<Source> sources;
    };
    static Inventory inventory(int timeoutMs = 2000);
};

} // namespace mf
