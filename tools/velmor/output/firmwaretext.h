#pragma once

#include <velmor/spectrometerdevice.h>

#include <string>

namespace velmorcli {

// The device's firmware version as "major.minor.build.revision", or
// "unknown" when the device did not tell.
std::string firmwareText(const SpectrometerDevice& device);

} // namespace velmorcli
