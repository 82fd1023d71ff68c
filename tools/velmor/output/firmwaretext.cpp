#include "output/firmwaretext.h"

#include <velmor/velmorhost.h>

namespace velmorcli {

std::string firmwareText(const SpectrometerDevice& device)
{
    const FirmwareVersion version = velmor::firmwareVersion(device);
    const bool known = version.major != 0 || version.minor != 0 || version.build != 0 || version.revision != 0;
    return known ? version.toString() : "unknown";
}

} // namespace velmorcli
