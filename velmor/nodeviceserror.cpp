#include "nodeviceserror.h"

NoDevicesError::NoDevicesError() : std::runtime_error("No devices connected") {}
