#include "scriptedspectrometer.h"

#include "standinusbbus.h"

#include "simulator/littleendian.h"
#include "simulator/spectrometermodel.h"
#include "simulator/spectrumrecord.h"

#include <algorithm>

namespace {

namespace command = velmorsim::command;
namespace returncode = velmorsim::returncode;

constexpr uint32_t kDate = 20000;       // days since 1970: a day in 2024
constexpr uint32_t kTimeStep = 10;      // 1 ms between fresh spectra
constexpr uint8_t kFirmware[4] = {0, 7, 1, 4};  // 4.1.7.0, least significant byte first

// What one script byte makes of the device's answer to a request.
enum class Answer { Normal, NoReply, LateReply, ShortReply, DeviceError, Vanish };

Answer answerFor(uint8_t step)
{
    switch (step % 16) {
    case 10: return Answer::NoReply;
    case 11: return Answer::LateReply;
    case 12: return Answer::ShortReply;
    case 13:
    case 14: return Answer::DeviceError;
    case 15: return Answer::Vanish;
    default: return Answer::Normal;
    }
}

bool isIdentityCommand(uint32_t code)
{
    return code == command::kGetSerialNumber || code == command::kGetFirmwareVersion ||
           code == command::kGetPixelCount || code == command::kGetStartPixel || code == command::kGetEndPixel ||
           (code >= command::kGetWavelengthCoefficient0 && code < command::kGetWavelengthCoefficient0 + 4) ||
           code == command::kSetClock || code == command::kSetGain;
}

std::vector<uint8_t> returnCodeOnly(uint32_t code)
{
    return velmorsim::LittleEndianWriter().u32(code).take();
}

std::optional<uint32_t> commandOf(const std::vector<uint8_t>& request)
{
    if (request.size() < 4) {
        return std::nullopt;
    }
    return uint32_t{request[0]} | uint32_t{request[1]} << 8 | uint32_t{request[2]} << 16 |
           uint32_t{request[3]} << 24;
}

// The status byte of the reply: the named states and one without a name.
uint8_t statusFor(uint8_t step)
{
    static const uint8_t states[] = {0, 1, 2, 3, 8, 9, 10, 0x42};
    return states[step % (sizeof states)];
}

// Mostly a few spectra; now and then a count no real buffer holds.
uint16_t availableFor(uint8_t step)
{
    if (step == 0xFF) {
        return 0xFFFF;
    }
    return step >= 0xF0 ? step : static_cast<uint16_t>(step % 4);
}

} // namespace

ScriptedSpectrometer::ScriptedSpectrometer(std::string serialNumber, std::vector<uint8_t> script)
    : mSerialNumber(std::move(serialNumber)), mScript(std::move(script))
{
}

void ScriptedSpectrometer::setAddress(uint8_t address)
{
    std::lock_guard<std::mutex> lock(mMutex);
    mAddress = address;
}

std::size_t ScriptedSpectrometer::receiveBulkOut(const std::vector<uint8_t>& data)
{
    std::lock_guard<std::mutex> lock(mMutex);
    const std::optional<uint32_t> code = commandOf(data);
    if (!code) {
        mReplies.push_back(returnCodeOnly(returncode::kUnknownCommand));
        return data.size();
    }
    if (isIdentityCommand(*code)) {
        mReplies.push_back(identityReply(*code));
        return data.size();
    }
    if (std::optional<Reply> reply = scriptedReply(*code)) {
        mReplies.push_back(std::move(*reply));
    }
    return data.size();
}

std::optional<std::vector<uint8_t>> ScriptedSpectrometer::sendBulkIn(std::size_t maxLength)
{
    std::lock_guard<std::mutex> lock(mMutex);
    if (mReplies.empty()) {
        return std::nullopt;
    }
    if (mLateReplyPending) {
        // This read times out; the reply waits for the next one.
        mLateReplyPending = false;
        return std::nullopt;
    }
    Reply reply = std::move(mReplies.front());
    mReplies.pop_front();
    reply.resize(std::min(reply.size(), maxLength));
    return reply;
}

std::optional<uint8_t> ScriptedSpectrometer::nextByte()
{
    if (mPosition >= mScript.size()) {
        return std::nullopt;
    }
    return mScript[mPosition++];
}

uint8_t ScriptedSpectrometer::nextByteOr(uint8_t fallback)
{
    return nextByte().value_or(fallback);
}

// std::nullopt: the device sends nothing.
std::optional<std::vector<uint8_t>> ScriptedSpectrometer::scriptedReply(uint32_t code)
{
    const std::optional<uint8_t> step = nextByte();
    if (!step) {
        // Script used up: an idle device with an empty buffer (every byte
        // a normal reply would take reads as 0).
        return code == command::kReadSpectrum ? returnCodeOnly(returncode::kNoSpectrum) : normalReply(code);
    }
    switch (answerFor(*step)) {
    case Answer::NoReply: return std::nullopt;
    case Answer::LateReply:
        mLateReplyPending = true;
        return normalReply(code);
    case Answer::ShortReply: {
        Reply reply = normalReply(code);
        reply.resize(std::min<std::size_t>(reply.size(), nextByteOr(0)));
        return reply;
    }
    case Answer::DeviceError: return returnCodeOnly(uint32_t{nextByteOr(returncode::kNoSpectrum >> 8)} << 8);
    case Answer::Vanish:
        StandInUsbBus::instance().unplug(mAddress);
        return std::nullopt;
    case Answer::Normal: break;
    }
    return normalReply(code);
}

std::vector<uint8_t> ScriptedSpectrometer::normalReply(uint32_t code)
{
    switch (code) {
    case command::kGetStatus: return statusReply();
    case command::kReadSpectrum: return spectrumReply();
    case command::kGetTriggerConfig: return velmorsim::LittleEndianWriter().u32(0).u32(0).take();
    default: return returnCodeOnly(returncode::kSuccess);
    }
}

std::vector<uint8_t> ScriptedSpectrometer::identityReply(uint32_t code) const
{
    velmorsim::LittleEndianWriter reply;
    reply.u32(returncode::kSuccess);
    switch (code) {
    case command::kGetSerialNumber: reply.fixedText(mSerialNumber, 16); break;
    case command::kGetFirmwareVersion: reply.u8(kFirmware[0]).u8(kFirmware[1]).u8(kFirmware[2]).u8(kFirmware[3]); break;
    case command::kGetPixelCount: reply.u16(kPixelCount).u16(0); break;
    case command::kGetStartPixel: reply.u16(0).u16(0); break;
    case command::kGetEndPixel: reply.u16(kPixelCount - 1).u16(0); break;
    case command::kGetWavelengthCoefficient0: reply.f32(std::stof(mSerialNumber) / 100.0f); break;
    case command::kGetWavelengthCoefficient0 + 1: reply.f32(1.0f); break;
    case command::kGetWavelengthCoefficient0 + 2:
    case command::kGetWavelengthCoefficient0 + 3: reply.f32(0.0f); break;
    default: break;
    }
    return reply.take();
}

std::vector<uint8_t> ScriptedSpectrometer::statusReply()
{
    const uint8_t status = statusFor(nextByteOr(0));
    const uint16_t available = availableFor(nextByteOr(0));
    return velmorsim::LittleEndianWriter().u32(returncode::kSuccess).u8(status).u16(available).u8(0).take();
}

// The time stamp: a fresh one, the last one sent again, zero, or one older
// than the newest.
std::vector<uint8_t> ScriptedSpectrometer::spectrumReply()
{
    uint32_t time = 0;
    uint32_t date = kDate;
    switch (nextByteOr(0) % 4) {
    case 0:
        mLatestTime += kTimeStep;
        time = mLatestTime;
        break;
    case 1:
        time = mLastSentTime;
        date = mLastSentDate;
        break;
    case 2: date = 0; break;
    default: time = mLatestTime >= kTimeStep ? mLatestTime - kTimeStep : 0; break;
    }
    mLastSentTime = time;
    mLastSentDate = date;

    velmorsim::SpectrumHeader header;
    header.time = time;
    header.date = date;
    header.pixelCount = kPixelCount;
    std::vector<float> pixels(kPixelCount, 0.0f);
    pixels[0] = static_cast<float>(time);
    pixels[1] = static_cast<float>(date);
    return velmorsim::encodeSpectrumRecord(header, pixels);
}
