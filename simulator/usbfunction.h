#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace velmorsim {

// What sits behind one simulated USB device: the two bulk endpoints of
// interface 0, seen from the device side. The virtual bus calls these from
// the device's serving thread; implementations must be thread-safe.
class UsbFunction {
public:
    virtual ~UsbFunction() = default;

    // One bulk OUT transfer from the host. Returns how many bytes the device
    // accepted; fewer than data.size() makes the host see a short write.
    virtual std::size_t receiveBulkOut(const std::vector<uint8_t>& data) = 0;

    // One bulk IN transfer requested by the host with room for maxLength
    // bytes. Returns the bytes to complete it with (an empty vector is a
    // zero-length packet), or std::nullopt when the device has nothing to
    // send, in which case the transfer stays pending until the host gives up.
    virtual std::optional<std::vector<uint8_t>> sendBulkIn(std::size_t maxLength) = 0;

    // The device was unplugged: like a real one losing bus power, it
    // forgets what it had not yet sent to the host.
    virtual void unplugged() {}
};

} // namespace velmorsim
