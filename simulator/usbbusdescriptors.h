#pragma once

// USB descriptors of a simulated device: what sysfs shows in "descriptors"
// and what reading the usbfs node returns.

#include "simulator/virtualusbbus.h"

#include <cstdint>
#include <vector>

namespace velmorsim::usbbus {

enum class TransferType : uint8_t { Bulk = 0x02, Interrupt = 0x03 };

struct Endpoint {
    uint8_t address;
    TransferType type;
    uint16_t maxPacketSize;
    uint8_t interval;

    bool isIn() const { return (address & 0x80) != 0; }
};

// Endpoints of interface 0 in the order the configuration descriptor lists them.
std::vector<Endpoint> endpointsOf(EndpointLayout layout);

// Device descriptor followed by the single configuration descriptor.
std::vector<uint8_t> descriptorBlob(uint16_t vendorId, uint16_t productId, const std::vector<Endpoint>& endpoints);

} // namespace velmorsim::usbbus
