#include "media/DeviceSelection.h"

#include <QDebug>

bool setMFDevice(MFDevicePtr device, mf::eMFDeviceType type, const QString &name)
{
    if (!device)
        return false;
    int count = 0;
    if (device->deviceGetCount(type, &count) < 0) {
        qCritical().noquote() << Q_FUNC_INFO << "DeviceGetCount FAILED";
        return false;
    }
    for (int i = 0; i < count; ++i) {
        QString candidate;
        if (device->deviceGetName(type, i, &candidate) < 0 || candidate != name)
            continue;
        if (device->deviceSet(type, i, QString()) < 0) {
            qCritical().noquote() << Q_FUNC_INFO << "DeviceSet FAILED";
            return false;
        }
        return true;
    }
    return false;
}
