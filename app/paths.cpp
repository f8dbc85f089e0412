// The device paths, in one place. SETHC_DEVICE_ROOT is fixed at build time:
// empty on the device, a private directory for tests and the demo.
#include "sethc.h"

#ifndef SETHC_DEVICE_ROOT
#define SETHC_DEVICE_ROOT ""
#endif

const char kDeviceDir[] = SETHC_DEVICE_ROOT "/mnt";
const char kFormatFile[] = SETHC_DEVICE_ROOT "/mnt/format.ini";
const char kModeFile[] = SETHC_DEVICE_ROOT "/mnt/tz582.ini";
const char kConfigFile[] = SETHC_DEVICE_ROOT "/mnt/config.ini";
const char kDviFile[] = SETHC_DEVICE_ROOT "/mnt/config.dvi.ini";
const char kConfigFactory[] = SETHC_DEVICE_ROOT "/mnt/config.ini.org";
const char kDviFactory[] = SETHC_DEVICE_ROOT "/mnt/config.dvi.ini.org";
