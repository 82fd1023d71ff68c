#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmorcli {

// Where a spectrometer sits on USB and which firmware it runs: the library
// has no getter for these.
struct ConnectionDetails {
    int bus = 0;
    int address = 0;
    std::string firmware; // empty if the library did not report it
};

// Reads the lines the library writes to standard output while connecting.
// These lines are part of the library's documented interface:
//   "正在初始化设备 <i>: bus=<b>, address=<a>"  (start of device i)
//   "设备软件版本: <x.y.z.w>"                     (during its initialization)
//   "设备 <i> 初始化完成"                          (device i joined the pool)
// <i> counts every device found, including those that failed to initialize,
// while the pool holds only the successful ones, in order; so the details are
// collected per attempt and kept only for the attempts that completed.
class ConnectionLog {
public:
    void addLine(std::string_view line);

    // One entry per connected device, in pool order.
    const std::vector<ConnectionDetails>& connectedDevices() const;

private:
    struct Attempt {
        int enumerationIndex = 0;
        ConnectionDetails details;
    };

    std::optional<Attempt> mAttempt;
    std::vector<ConnectionDetails> mConnected;
};

} // namespace velmorcli
