#pragma once

#include <velmor/spectrometerdevice.h>
#include <velmor/vasklinkprotocol.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

// Reach the private steps of the library's classes that the tests pin down
// byte for byte but that no public operation exposes on its own.
class SpectrometerDeviceTestPeer {
public:
    static std::vector<uint8_t> send(SpectrometerDevice& device, uint32_t code) { return device.sendReceiveMessage(code); }
    static std::vector<uint8_t> send(SpectrometerDevice& device, uint32_t code, uint32_t parameter)
    {
        return device.sendReceiveMessage(code, parameter);
    }
    static std::vector<uint8_t> send(SpectrometerDevice& device, uint32_t code, const std::vector<uint8_t>& payload)
    {
        return device.sendReceiveMessage(code, payload);
    }
    static std::vector<uint8_t> sendRaw(SpectrometerDevice& device, const std::vector<uint8_t>& frame)
    {
        return device.sendBulkReceiveMessage(frame);
    }
    static std::vector<uint8_t> readBulk(SpectrometerDevice& device, size_t size) { return device.readBulkData(size); }
    static void updateTime(SpectrometerDevice& device) { device.updateTimeInDevice(); }
    static FirmwareVersion firmware(const SpectrometerDevice& device) { return device.softwareVersion; }
    static bool subtractDark(const SpectrometerDevice& device) { return device.m_subtractDark; }
};

class VaskLinkProtocolTestPeer {
public:
    static std::string formatTime01ms(uint32_t time01ms) { return VaskLinkProtocol::formatTime01ms(time01ms); }
    static bool isNoMoreSpectrumError(const std::exception& e) { return VaskLinkProtocol::isNoMoreSpectrumError(e); }
    static size_t threadCount(const VaskLinkProtocol& manager) { return manager.measurementThreads.size(); }
    static bool isStop(const VaskLinkProtocol& manager) { return manager.isStop.load(); }
    static bool measuring(const VaskLinkProtocol& manager, size_t deviceIndex)
    {
        return manager.deviceMeasurementStatus[deviceIndex]->load();
    }
};
