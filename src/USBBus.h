// The USB bus (Linux): what it shows of phones where adb lists none or is
// missing.
#pragma once

#include "Models.h"

#include <string>

namespace kelvane::DiagnosticsService {

// What the USB bus below `devicesDir` (laid out as Linux's
// /sys/bus/usb/devices) shows of phones. Plain file reads; anything that
// cannot be read counts as nothing found.
USBFinding readUSBBus(const std::string& devicesDir);

} // namespace kelvane::DiagnosticsService
