#include "simulator/usbbusdescriptors.h"

namespace velmorsim::usbbus {

namespace {

// The simulated devices are high-speed: 512-byte bulk packets, and interrupt
// endpoints polled every 8 microframes (1 ms).
constexpr uint16_t BulkPacketSize = 512;
constexpr uint16_t InterruptPacketSize = 64;
constexpr uint8_t InterruptInterval = 4;

constexpr Endpoint bulk(uint8_t address) { return {address, TransferType::Bulk, BulkPacketSize, 0}; }
constexpr Endpoint interruptIn(uint8_t address)
{
    return {address, TransferType::Interrupt, InterruptPacketSize, InterruptInterval};
}

void appendWord(std::vector<uint8_t>& blob, uint16_t value)
{
    blob.push_back(static_cast<uint8_t>(value & 0xff));
    blob.push_back(static_cast<uint8_t>(value >> 8));
}

void appendDeviceDescriptor(std::vector<uint8_t>& blob, uint16_t vendorId, uint16_t productId)
{
    blob.insert(blob.end(), {18, 0x01});
    appendWord(blob, 0x0200); // bcdUSB
    blob.insert(blob.end(), {0x00, 0x00, 0x00, 64}); // class per interface, ep0 packet size
    appendWord(blob, vendorId);
    appendWord(blob, productId);
    appendWord(blob, 0x0100); // bcdDevice
    blob.insert(blob.end(), {0, 0, 0, 1}); // no string descriptors, one configuration
}

void appendConfiguration(std::vector<uint8_t>& blob, const std::vector<Endpoint>& endpoints)
{
    constexpr uint16_t ConfigurationLength = 9;
    constexpr uint16_t InterfaceLength = 9;
    constexpr uint16_t EndpointLength = 7;
    const auto totalLength = static_cast<uint16_t>(ConfigurationLength + InterfaceLength +
                                                   EndpointLength * endpoints.size());

    blob.insert(blob.end(), {ConfigurationLength, 0x02});
    appendWord(blob, totalLength);
    blob.insert(blob.end(), {1, 1, 0, 0x80, 250}); // one interface, value 1, bus powered, 500 mA

    blob.insert(blob.end(), {InterfaceLength, 0x04, 0, 0, static_cast<uint8_t>(endpoints.size()), 0xff, 0, 0, 0});

    for (const Endpoint& endpoint : endpoints) {
        blob.insert(blob.end(), {EndpointLength, 0x05, endpoint.address, static_cast<uint8_t>(endpoint.type)});
        appendWord(blob, endpoint.maxPacketSize);
        blob.push_back(endpoint.interval);
    }
}

} // namespace

std::vector<Endpoint> endpointsOf(EndpointLayout layout)
{
    switch (layout) {
    case EndpointLayout::BulkInOut:
        return {bulk(0x01), bulk(0x81)};
    case EndpointLayout::MissingBulkOut:
        return {bulk(0x81)};
    case EndpointLayout::MissingBulkIn:
        return {bulk(0x01)};
    case EndpointLayout::TwoBulkIn:
        return {bulk(0x01), bulk(0x81), bulk(0x82)};
    case EndpointLayout::WithInterruptEndpoints:
        return {interruptIn(0x82), bulk(0x01), bulk(0x81), interruptIn(0x83)};
    }
    return {};
}

std::vector<uint8_t> descriptorBlob(uint16_t vendorId, uint16_t productId, const std::vector<Endpoint>& endpoints)
{
    std::vector<uint8_t> blob;
    appendDeviceDescriptor(blob, vendorId, productId);
    appendConfiguration(blob, endpoints);
    return blob;
}

} // namespace velmorsim::usbbus
