#include "cargumentcheck.h"

#include "cstatuserror.h"
#include "velmor/velmor_c.h"

#include <limits>
#include <string>

void CArgumentCheck::atLeast(const char* name, int32_t value, int32_t smallest)
{
    if (value < smallest) {
        throw CStatusError(VELMOR_ERROR_INVALID_ARGUMENT,
                           std::string(name) + " is " + std::to_string(value) + "; it must be between " +
                               std::to_string(smallest) + " and " +
                               std::to_string(std::numeric_limits<int32_t>::max()));
    }
}

void CArgumentCheck::deviceIndex(int32_t deviceIndex, size_t deviceCount, bool allowAll)
{
    if (allowAll && deviceIndex == VELMOR_ALL_DEVICES) {
        return;
    }
    // Without devices, an operation on every device is answered by the
    // library's own "No devices connected".
    if ((allowAll && deviceCount == 0) || (deviceIndex >= 0 && static_cast<size_t>(deviceIndex) < deviceCount)) {
        return;
    }
    std::string text = "device_index " + std::to_string(deviceIndex) + " is out of range: ";
    text += deviceCount == 0 ? std::string("no device is connected")
                             : std::to_string(deviceCount) + " connected, indexes 0 .. " +
                                   std::to_string(deviceCount - 1);
    if (allowAll) {
        text += ", or VELMOR_ALL_DEVICES (-1)";
    }
    throw CStatusError(VELMOR_ERROR_INDEX_OUT_OF_RANGE, text);
}
