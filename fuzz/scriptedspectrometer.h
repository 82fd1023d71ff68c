#pragma once

#include "simulator/usbfunction.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A spectrometer whose every answer during a measurement comes from a script
// of bytes, so that one fuzz input plays a whole device: the status sequence,
// the time stamps of its spectra, and its faults (no reply, a reply that
// comes only after the host's read timed out, a short reply, any error
// class, pulling itself off the bus). Identity requests made while
// connecting are always answered correctly. Once the script is used up the
// device is idle, holds no spectrum and accepts every command.
//
// Each spectrum carries its time stamp in its first two pixels (time, then
// date), so that the host side can tell which record it was handed.
class ScriptedSpectrometer : public velmorsim::UsbFunction {
public:
    static constexpr uint16_t kPixelCount = 8;

    ScriptedSpectrometer(std::string serialNumber, std::vector<uint8_t> script);

    // The bus address it pulls itself off when the script says so.
    void setAddress(uint8_t address);
    const std::string& serialNumber() const { return mSerialNumber; }

    std::size_t receiveBulkOut(const std::vector<uint8_t>& data) override;
    std::optional<std::vector<uint8_t>> sendBulkIn(std::size_t maxLength) override;

private:
    using Reply = std::vector<uint8_t>;

    std::optional<uint8_t> nextByte();
    uint8_t nextByteOr(uint8_t fallback);
    std::optional<Reply> scriptedReply(uint32_t command);
    Reply normalReply(uint32_t command);
    Reply identityReply(uint32_t command) const;
    Reply statusReply();
    Reply spectrumReply();

    const std::string mSerialNumber;
    const std::vector<uint8_t> mScript;
    std::size_t mPosition = 0;
    uint8_t mAddress = 0;
    uint32_t mLatestTime = 0;
    uint32_t mLastSentTime = 0;
    uint32_t mLastSentDate = 0;
    bool mLateReplyPending = false;  // the next read times out, the reply stays

    std::mutex mMutex;
    std::deque<Reply> mReplies;
};
