#pragma once
#include "media/engine/MFDevice.h"

#include <QString>

#include <memory>

using MFDevicePtr = std::shared_ptr<mf::MFDevice>;

// Selects the first device of `type` whose name equals `name` exactly.
// False when none matches, the list is empty or the device object fails.
bool setMFDevice(MFDevicePtr device, mf::eMFDeviceType type, const QString &name);
