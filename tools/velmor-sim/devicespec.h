#pragma once

#include "simulator/spectrometermodel.h"

#include <string>

namespace velmorsim {

// Turns a command-line device description such as
//   "serial=20001,pixels=1024,firmware=4.1.7.0,wavelength=350:0.3:0:0,exposure-scale=2"
// into a model configuration, starting from the defaults of device `index`.
// Throws std::invalid_argument naming the offending key or value.
SpectrometerConfig parseDeviceSpec(const std::string& spec, int index);

// The keys parseDeviceSpec understands, with their meaning, for --help.
const char* deviceSpecHelp();

} // namespace velmorsim
