#include <velmor/spectrometerdevice.h>

#include <velmor/byteconverter.h>
#include <velmor/communicationerror.h>
#include <velmor/libusbinterface.h>

#include "localclock.h"
#include "logsink.h"
#include "usbtransfererror.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <libusb.h>

const int SpectrometerDevice::MAX_RX_LENGTH = 16492;

using velmor_detail::LogSink;

namespace {

namespace Command {
constexpr uint32_t STAND_BY = 0x0001;
constexpr uint32_t START_MEASURE = 0x0004;
constexpr uint32_t STOP_MEASURE = 0x0005;
constexpr uint32_t TAKE_DARK = 0x0006;
constexpr uint32_t GET_TRIGGER_CONFIG = 0x1004;
constexpr uint32_t SET_EXPOSURE_TIME = 0x1100;
constexpr uint32_t SET_AVERAGING = 0x1101;
constexpr uint32_t SET_TRIGGER_CONFIG = 0x1104;
constexpr uint32_t SET_TRIGGER_DELAY = 0x1105;
constexpr uint32_t SET_TRIGGER_SOURCE = 0x1106;
constexpr uint32_t SET_TRIGGER_OPTION = 0x1109;
constexpr uint32_t SET_GAIN = 0x110D;
constexpr uint32_t SET_SUBTRACT_DARK = 0x110E;
constexpr uint32_t GET_SERIAL_NUMBER = 0x2001;
constexpr uint32_t GET_FIRMWARE_VERSION = 0x2005;
constexpr uint32_t GET_PIXEL_COUNT = 0x2007;
constexpr uint32_t GET_START_PIXEL = 0x2009;
constexpr uint32_t GET_END_PIXEL = 0x200A;
constexpr uint32_t GET_WAVELENGTH_COEFFICIENT_0 = 0x201C;
constexpr uint32_t GET_STATUS = 0x3000;
constexpr uint32_t GET_SPECTRUM = 0x4000;
constexpr uint32_t SET_DEVICE_CLOCK = 0x4105;
} // namespace Command

constexpr size_t RETURN_CODE_SIZE = 4;
constexpr size_t SPECTRUM_HEADER_OFFSET = RETURN_CODE_SIZE;
constexpr size_t PIXEL_DATA_WORD_OFFSET = (RETURN_CODE_SIZE + sizeof(SpectrumHeader)) / 4; // 17
constexpr int DARK_POLL_LIMIT = 1000;
constexpr auto DARK_POLL_INTERVAL = std::chrono::milliseconds(100);
constexpr auto SETTLE_BEFORE_INITIALIZE = std::chrono::milliseconds(100);
constexpr auto CLOCK_UPDATE_INTERVAL = std::chrono::minutes(1);
constexpr const char* COMMUNICATION_FAILED = "Communication failed: ";

const char* deviceErrorText(uint32_t errorClass)
{
    switch (errorClass) {
    case 1: return "Unknown command code. ";
    case 2: return "Invalid parameter sent to device. ";
    case 4: return "This operation is currently not allowed. ";
    case 5: return "The device does not support this operation. ";
    case 6: return "Invalid passcode for this operation. ";
    case 7: return "A communication error occurred. ";
    case 8: return "Internal error received from device. ";
    case 10: return "Cannot read from device memory. ";
    default: return "Error code received from device. ";
    }
}

std::string deviceErrorMessage(uint32_t command, uint32_t returnCode)
{
    std::ostringstream text;
    text << deviceErrorText(returnCode >> 8) << "Device error (cmd:0x" << std::hex << std::setfill('0')
         << std::setw(4) << command << " ret:0x" << std::setw(4) << returnCode << ").";
    return text.str();
}

// Hexadecimal through a string: switching the shared output stream to hex would race
// with other threads formatting numbers on it.
std::string hexText(uint32_t value)
{
    std::ostringstream text;
    text << std::hex << value;
    return text.str();
}

// What a failed USB transfer means for the host: the device is slow, gone,
// or something else broke.
CommunicationError::Kind transferFailureKind(int libusbError)
{
    switch (libusbError) {
    case LIBUSB_ERROR_TIMEOUT:
        return CommunicationError::Kind::Timeout;
    case LIBUSB_ERROR_NO_DEVICE:
        return CommunicationError::Kind::DeviceGone;
    default:
        return CommunicationError::Kind::Transport;
    }
}

uint32_t returnCodeOf(const std::vector<uint8_t>& reply)
{
    return ByteConverter::convert<uint32_t>(reply, 0, true);
}

void appendLittleEndian(std::vector<uint8_t>& frame, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        frame.push_back(static_cast<uint8_t>(value >> shift));
    }
}


const char* intensityUnitName(unsigned unit)
{
    static const char* const names[] = {"Counts",     "Counts/ms",  "Transmittance", "Reflectance",
                                        "Absorbance", "Calibrated", "Evaluated"};
    return unit < sizeof(names) / sizeof(names[0]) ? names[unit] : nullptr;
}

void logAppliedProcessing(uint16_t applied)
{
    const unsigned unit = applied & 0x000Fu;
    const unsigned darkSubtracted = (applied >> 4) & 0x000Fu;
    const unsigned reserved = (applied >> 8) & 0x000Fu;
    const unsigned errorFlags = (applied >> 12) & 0x000Fu;

    LogSink::out() << "应用的处理标志位 (AppliedProcessing): 0x" << hexText(applied) << std::endl;
    LogSink::out() << "  强度单位 (IntensityUnit): ";
    if (const char* name = intensityUnitName(unit)) {
        LogSink::out() << name << std::endl;
    } else {
        LogSink::out() << "未知(" << unit << ")" << std::endl;
    }
    LogSink::out() << "  暗背景扣除 (Dark Subtraction): " << (darkSubtracted != 0 ? "已应用" : "未应用") << std::endl;
    LogSink::out() << "  保留 (Reserved): 0x" << hexText(reserved) << std::endl;
    if (errorFlags != 0) {
        LogSink::out() << "  处理错误标志 (Error Flags): 0x" << hexText(errorFlags) << std::endl;
    }
}

void logSpectrumHeader(const SpectrumHeader& header)
{
    const char* nameEnd = std::find(header.Name, header.Name + sizeof(header.Name), '\0');
    LogSink::out() << "曝光时间: " << header.ExposureTime << " 微秒" << std::endl;
    LogSink::out() << "平均次数: " << header.Averaging << std::endl;
    LogSink::out() << "时间戳: " << header.Time << " 0.1ms" << std::endl;
    LogSink::out() << "日期戳: " << header.Date << std::endl;
    LogSink::out() << "负载水平: " << header.LoadLevel << std::endl;
    LogSink::out() << "传感器温度: " << header.SensorTemperature << " 摄氏度" << std::endl;
    LogSink::out() << "像素数量: " << header.PixelCount << std::endl;
    LogSink::out() << "数据格式: " << static_cast<unsigned>(header.DataFormat) << std::endl;
    LogSink::out() << "版本号: " << static_cast<unsigned>(header.VersionNumber) << std::endl;
    LogSink::out() << "曝光设置: " << header.ExposureSettings << std::endl;
    LogSink::out() << "应用的处理标志位: " << header.AppliedProcessing << std::endl;
    LogSink::out() << "名称: " << std::string(header.Name, nameEnd) << std::endl;
    LogSink::out() << "暗电流平均值: " << header.DarkAvg << std::endl;
    LogSink::out() << "读出噪声: " << header.ReadoutNoise << std::endl;
    logAppliedProcessing(header.AppliedProcessing);
}

} // namespace

// ---------------------------------------------------------------------------
// Construction and identity

SpectrometerDevice::SpectrometerDevice(std::unique_ptr<LibusbInterface> device)
    : m_startPixel(0),
      m_endPixel(0),
      m_pixelCount(0),
      m_device(std::move(device)),
      m_subtractDark(false),
      m_hasDarkSpectrum(false),
      softwareVersion(0, 0, 0, 0),
      nextTimeUpdate(std::chrono::system_clock::time_point::min())
{
    if (!m_device) {
        throw std::runtime_error("USB设备接口为空");
    }
    LogSink::out() << "开始初始化光谱仪设备..." << std::endl;
    try {
        if (!m_device->isOpen()) {
            LogSink::out() << "设备未打开，正在打开..." << std::endl;
            m_device->open();
        }
        std::this_thread::sleep_for(SETTLE_BEFORE_INITIALIZE);
        LogSink::out() << "正在获取设备参数..." << std::endl;
        initialize();
        LogSink::out() << "设备初始化完成" << std::endl;
    } catch (const std::exception& e) {
        LogSink::err() << "设备初始化失败: " << e.what() << std::endl;
        closeTransport();
        throw;
    } catch (...) {
        LogSink::err() << "设备初始化失败: 未知异常" << std::endl;
        closeTransport();
        throw;
    }
}

SpectrometerDevice::~SpectrometerDevice() = default;

void SpectrometerDevice::closeTransport()
{
    if (m_device->isOpen()) {
        m_device->close();
    }
}

void SpectrometerDevice::initialize()
{
    LogSink::out() << "获取序列号..." << std::endl;
    m_serialNumber = getSerialNumber();
    LogSink::out() << "序列号: " << m_serialNumber << std::endl;

    LogSink::out() << "获取起始像素..." << std::endl;
    m_startPixel = getStartPixel();
    LogSink::out() << "起始像素: " << m_startPixel << std::endl;

    LogSink::out() << "获取结束像素..." << std::endl;
    m_endPixel = getEndPixel();
    LogSink::out() << "结束像素: " << m_endPixel << std::endl;

    LogSink::out() << "获取像素数量..." << std::endl;
    m_pixelCount = static_cast<size_t>(getPixelCount());
    LogSink::out() << "像素数量: " << m_pixelCount << std::endl;

    LogSink::out() << "获取波长信息..." << std::endl;
    m_wavelengths = readWavelengthsFromDevice();
    if (m_wavelengths.empty()) {
        LogSink::out() << "波长范围: 无 (像素数量为 0)" << std::endl;
    } else {
        LogSink::out() << "波长范围: " << m_wavelengths.front() << " - " << m_wavelengths.back() << " nm" << std::endl;
    }

    softwareVersion = readSoftwareVersion();
    LogSink::out() << "设备软件版本: " << softwareVersion.toString() << std::endl;
    LogSink::out() << "最小支持版本: " << minFirmwareDateTime.toString() << std::endl;
    if (softwareVersion >= minFirmwareDateTime) {
        LogSink::out() << "设备支持日期时间功能" << std::endl;
    } else {
        LogSink::out() << "设备不支持日期时间功能，需要固件版本 >= " << minFirmwareDateTime.toString() << std::endl;
    }

    updateTimeInDevice();
    setGain(0);
}

std::string SpectrometerDevice::getSerialNumber()
{
    const std::vector<uint8_t> reply = sendReceiveMessage(Command::GET_SERIAL_NUMBER);
    return ByteConverter::convert_str(reply, 0, std::string::npos, true, true);
}

int SpectrometerDevice::getStartPixel()
{
    return ByteConverter::convert<uint16_t>(sendReceiveMessage(Command::GET_START_PIXEL), 4, true);
}

int SpectrometerDevice::getEndPixel()
{
    return ByteConverter::convert<uint16_t>(sendReceiveMessage(Command::GET_END_PIXEL), 4, true);
}

int SpectrometerDevice::getPixelCount()
{
    return ByteConverter::convert<uint16_t>(sendReceiveMessage(Command::GET_PIXEL_COUNT), 4, true);
}

std::vector<float> SpectrometerDevice::readWavelengthsFromDevice()
{
    float c[4];
    for (uint32_t i = 0; i < 4; ++i) {
        c[i] = ByteConverter::convert<float>(sendReceiveMessage(Command::GET_WAVELENGTH_COEFFICIENT_0 + i), 4, true);
    }
    std::vector<float> wavelengths(m_pixelCount);
    for (size_t p = 0; p < m_pixelCount; ++p) {
        // Horner form, evaluated in single precision in this exact order so
        // that every host computes the same table.
        const float x = static_cast<float>(p);
        float t = c[3] * x;
        t = c[2] + t;
        t = t * x;
        t = c[1] + t;
        t = t * x;
        wavelengths[p] = c[0] + t;
    }
    if (wavelengths.empty()) {
        LogSink::out() << "Wavelength range: none (pixel count 0)" << std::endl;
    } else {
        LogSink::out() << "Wavelength range: " << wavelengths.front() << " to " << wavelengths.back() << " nm"
                       << std::endl;
    }
    return wavelengths;
}

FirmwareVersion SpectrometerDevice::readSoftwareVersion()
{
    try {
        const std::vector<uint8_t> reply = sendReceiveMessage(Command::GET_FIRMWARE_VERSION);
        if (reply.size() < 8) {
            LogSink::out() << "读取软件版本失败：响应数据不足，实际长度: " << reply.size() << std::endl;
            return FirmwareVersion(0, 0, 0, 0);
        }
        const FirmwareVersion version(reply[7], reply[6], reply[5], reply[4]);
        LogSink::out() << "读取到软件版本: " << version.toString() << std::endl;
        return version;
    } catch (const std::exception& e) {
        LogSink::out() << "读取软件版本异常: " << e.what() << std::endl;
        return FirmwareVersion(0, 0, 0, 0);
    }
}

void SpectrometerDevice::updateTimeInDevice()
{
    if (!(softwareVersion >= minFirmwareDateTime)) {
        LogSink::out() << "设备固件版本过低，不支持时间同步功能" << std::endl;
        return;
    }
    const auto now = std::chrono::system_clock::now();
    if (!(now > nextTimeUpdate)) {
        return;
    }
    const std::tm local = velmor_detail::toLocalTime(std::chrono::system_clock::to_time_t(now));
    const int64_t secondOfDay = int64_t{local.tm_hour} * 3600 + int64_t{local.tm_min} * 60 + local.tm_sec;
    const auto timeOfDay01ms =
        static_cast<uint32_t>((secondOfDay * 1000 + velmor_detail::millisecondOfSecond(now)) * 10);
    const auto days = static_cast<uint32_t>(velmor_detail::daysSinceEpoch(local));
    try {
        std::vector<uint8_t> payload;
        appendLittleEndian(payload, timeOfDay01ms);
        appendLittleEndian(payload, days);
        const uint32_t returnCode = returnCodeOf(sendReceiveMessage(Command::SET_DEVICE_CLOCK, payload));
        if (returnCode == 0) {
            m_clockUtcOffsetSeconds.store(velmor_detail::localUtcOffsetSeconds(local, now), std::memory_order_relaxed);
            m_clockSet.store(true, std::memory_order_release);
            LogSink::out() << "设备时间同步成功" << std::endl;
            nextTimeUpdate = now + CLOCK_UPDATE_INTERVAL;
        } else {
            LogSink::out() << "设备时间同步失败，错误码: " << hexText(returnCode) << std::endl;
        }
    } catch (const std::exception& e) {
        LogSink::out() << "时间同步异常: " << e.what() << std::endl;
    }
}

SpectrometerParameters SpectrometerDevice::getParameters() const
{
    return SpectrometerParameters{m_serialNumber, m_startPixel, m_endPixel, m_pixelCount, m_wavelengths};
}

std::vector<float> SpectrometerDevice::getWavelength()
{
    return m_wavelengths;
}

void SpectrometerDevice::setGain(int gain)
{
    const uint32_t returnCode = returnCodeOf(sendReceiveMessage(Command::SET_GAIN, static_cast<uint32_t>(gain)));
    if (returnCode == 0) {
        LogSink::out() << "设置增益成功 " << hexText(returnCode) << std::endl;
    } else {
        LogSink::out() << "设置增益失败" << hexText(returnCode) << std::endl;
    }
}

void SpectrometerDevice::disconnect()
{
    m_device->close();
}

// ---------------------------------------------------------------------------
// Acquisition control

void SpectrometerDevice::standBy()
{
    sendReceiveMessage(Command::STAND_BY);
}

void SpectrometerDevice::stopMeasure()
{
    sendReceiveMessage(Command::STOP_MEASURE);
}

void SpectrometerDevice::cancelExposure()
{
    try {
        sendReceiveMessage(Command::STOP_MEASURE);
    } catch (...) {
        // Cancelling is best effort: a device that cannot be reached has no
        // exposure left to cancel.
    }
}

void SpectrometerDevice::startMeasure()
{
    startMeasure(1);
}

void SpectrometerDevice::startMeasure(int exposureCount)
{
    updateTimeInDevice();
    sendReceiveMessage(Command::START_MEASURE, static_cast<uint32_t>(exposureCount));
}

void SpectrometerDevice::setExposureParams(int exposureTime, int averaging)
{
    sendReceiveMessage(Command::SET_EXPOSURE_TIME, static_cast<uint32_t>(exposureTime));
    sendReceiveMessage(Command::SET_AVERAGING, static_cast<uint32_t>(averaging));
}

void SpectrometerDevice::setDelayParams(int delay)
{
    ensureIdleForConfiguration();
    sendReceiveMessage(Command::SET_TRIGGER_DELAY, static_cast<uint32_t>(delay));
}

void SpectrometerDevice::setTriggerMode(TriggerMode mode)
{
    switch (mode) {
    case TriggerMode::SOFTWARE: setFreeRunningTrigger(); return;
    case TriggerMode::EXTERNAL: setHardwareRisingEdgeTrigger(); return;
    }
    throw std::invalid_argument("Unsupported trigger mode");
}

uint32_t SpectrometerDevice::readTriggerWord()
{
    const std::vector<uint8_t> reply = sendReceiveMessage(Command::GET_TRIGGER_CONFIG);
    if (reply.size() < 8) {
        throw std::runtime_error("Trigger mode response too short");
    }
    return ByteConverter::fromLittleEndian<uint32_t>(reply.data(), 4);
}

TriggerConfig SpectrometerDevice::getTriggerMode()
{
    const uint32_t conf = readTriggerWord();
    TriggerConfig config;
    if (softwareVersion >= minFirmwareNewTriggering) {
        config.mode = static_cast<uint8_t>(conf & 0xFFu);
        config.edge = static_cast<uint8_t>((conf >> 8) & 0xFFu);
    } else {
        config.mode = (conf & 0x6u) == 0x6u ? 2 : 0;
        config.edge = 0;
    }
    return config;
}

void SpectrometerDevice::setFreeRunningTrigger()
{
    ensureIdleForConfiguration();
    uint32_t conf = readTriggerWord();
    conf &= softwareVersion >= minFirmwareNewTriggering ? 0xFFFFFF00u : 0xFFFFFFF9u;
    sendReceiveMessage(Command::SET_TRIGGER_CONFIG, conf);
    sendReceiveMessage(Command::SET_TRIGGER_SOURCE, 0);
    sendReceiveMessage(Command::SET_TRIGGER_OPTION, 0);
}

void SpectrometerDevice::setHardwareRisingEdgeTrigger()
{
    ensureIdleForConfiguration();
    uint32_t conf = readTriggerWord();
    if (softwareVersion >= minFirmwareNewTriggering) {
        conf = (conf & 0xFFFF0000u) | 0x0002u;
    } else {
        conf |= 0x6u;
    }
    sendReceiveMessage(Command::SET_TRIGGER_CONFIG, conf);
    sendReceiveMessage(Command::SET_TRIGGER_DELAY, 0);
    sendReceiveMessage(Command::SET_TRIGGER_SOURCE, 1);
    sendReceiveMessage(Command::SET_TRIGGER_OPTION, 0);
}

void SpectrometerDevice::ensureIdleForConfiguration()
{
    const StatusInfo info = getStatusInfo();
    if (info.status == SpectrStatus::Idle) {
        return;
    }
    throw std::runtime_error("Cannot configure device while status=" + std::to_string(static_cast<int>(info.status)) +
                             " availableSpectra=" + std::to_string(info.availableSpectra));
}

StatusInfo SpectrometerDevice::getStatusInfo()
{
    const std::vector<uint8_t> reply = sendReceiveMessage(Command::GET_STATUS);
    if (reply.size() < 8) {
        throw std::runtime_error("Status response too short");
    }
    const uint32_t word = ByteConverter::fromLittleEndian<uint32_t>(reply.data(), 4);
    StatusInfo info;
    info.status = static_cast<SpectrStatus>(word & 0xFFu);
    info.availableSpectra = static_cast<uint16_t>((word >> 8) & 0xFFFFu);
    return info;
}

SpectrStatus SpectrometerDevice::getStatus()
{
    return getStatusInfo().status;
}

// ---------------------------------------------------------------------------
// Spectrum readout

std::vector<uint8_t> SpectrometerDevice::readSpectrumRecord(const char* tooShortText, bool logDetails,
                                                            SpectrumHeader& header)
{
    std::vector<uint8_t> record = sendReceiveMessage(Command::GET_SPECTRUM);
    if (record.size() < SPECTRUM_HEADER_OFFSET + sizeof(SpectrumHeader)) {
        if (logDetails) {
            LogSink::out() << "接收到的光谱数据长度不足，长度为: " << record.size() << std::endl;
        }
        throw std::runtime_error(tooShortText);
    }
    if (logDetails) {
        LogSink::out() << "获取光谱数据时间: " << velmor_detail::formatLocalTimestamp(std::chrono::system_clock::now())
                       << std::endl;
    }
    std::memcpy(&header, record.data() + SPECTRUM_HEADER_OFFSET, sizeof(SpectrumHeader));
    if (header.PixelCount != static_cast<uint16_t>(m_pixelCount)) {
        throw std::runtime_error("Unexpected PixelCount in received spectrum.");
    }
    if (header.VersionNumber != 0) {
        throw std::runtime_error("Spectrum data version not supported.");
    }
    if (header.DataFormat != 0) {
        throw std::runtime_error("Spectrum data format not supported.");
    }
    if (record.size() < (m_pixelCount + PIXEL_DATA_WORD_OFFSET) * 4) {
        throw std::runtime_error("Received spectrum is incomplete.");
    }
    if (logDetails) {
        logSpectrumHeader(header);
    }
    return record;
}

std::vector<float> SpectrometerDevice::decodePixels(const std::vector<uint8_t>& record) const
{
    std::vector<float> pixels(m_pixelCount);
    for (size_t p = 0; p < m_pixelCount; ++p) {
        pixels[p] = ByteConverter::convert<float>(record, (p + PIXEL_DATA_WORD_OFFSET) * 4, true);
    }
    return pixels;
}

std::vector<float> SpectrometerDevice::getSpectrum()
{
    SpectrumHeader header;
    return decodePixels(readSpectrumRecord("接收到的光谱数据长度不足", true, header));
}

std::vector<float> SpectrometerDevice::getSpectrum(uint32_t& time01ms, uint32_t& dateDays)
{
    SpectrumHeader header;
    const std::vector<uint8_t> record = readSpectrumRecord("接收到的光谱数据长度不足", false, header);
    time01ms = header.Time;
    dateDays = header.Date;
    return decodePixels(record);
}

std::vector<float> SpectrometerDevice::getSpectrum(uint32_t& time01ms, uint32_t& dateDays, uint32_t& exposureTimeUs,
                                                   uint32_t& averaging)
{
    SpectrumHeader header;
    const std::vector<uint8_t> record =
        readSpectrumRecord("The received spectral data is insufficient in length.", false, header);
    time01ms = header.Time;
    dateDays = header.Date;
    exposureTimeUs = header.ExposureTime;
    averaging = header.Averaging;
    return decodePixels(record);
}

std::vector<float> SpectrometerDevice::getSpectrum(SpectrumHeader& header)
{
    SpectrumHeader checked;
    const std::vector<uint8_t> record =
        readSpectrumRecord("The received spectral data is insufficient in length.", false, checked);
    header = checked;
    return decodePixels(record);
}

std::vector<std::vector<float>> SpectrometerDevice::getAllSpectrumData()
{
    const uint16_t availableSpectra = getStatusInfo().availableSpectra;
    std::vector<std::vector<float>> spectra;
    for (uint16_t i = 0; i < availableSpectra; ++i) {
        uint32_t time01ms = 0;
        uint32_t dateDays = 0;
        uint32_t exposureTimeUs = 0;
        uint32_t averaging = 0;
        try {
            spectra.push_back(getSpectrum(time01ms, dateDays, exposureTimeUs, averaging));
        } catch (const CommunicationError& e) {
            // No spectrum left, or a device that no longer answers: the count
            // cannot be trusted, and each further read could wait its full
            // time-out while the caller holds the device.
            LogSink::err() << "Error reading spectrum " << i << ": " << e.what() << std::endl;
            break;
        } catch (const std::exception& e) {
            LogSink::err() << "Error reading spectrum " << i << ": " << e.what() << std::endl;
        }
    }
    return spectra;
}

void SpectrometerDevice::discardSpectrum()
{
    sendReceiveMessage(Command::GET_SPECTRUM);
}

// ---------------------------------------------------------------------------
// Dark spectrum

void SpectrometerDevice::takeDarkSpectrum()
{
    LogSink::out() << "Taking dark spectrum..." << std::endl;
    updateTimeInDevice();
    sendReceiveMessage(Command::SET_TRIGGER_SOURCE, 0);

    const uint32_t darkReturnCode = returnCodeOf(sendReceiveMessage(Command::TAKE_DARK));
    if (darkReturnCode != 0) {
        LogSink::out() << "暗光谱采集命令发送失败，错误码: " << hexText(darkReturnCode) << std::endl;
        throw std::runtime_error("TakeDarkSpectrum failed, returnCode=0x" + hexText(darkReturnCode));
    }
    LogSink::out() << "暗光谱采集命令已发送" << std::endl;

    for (int polls = 0;;) {
        std::this_thread::sleep_for(DARK_POLL_INTERVAL);
        const SpectrStatus status = getStatus();
        if (++polls > DARK_POLL_LIMIT) {
            LogSink::out() << "暗光谱采集超时" << std::endl;
            throw std::runtime_error("暗光谱采集超时");
        }
        if (status != SpectrStatus::TakingSpectrum) {
            break;
        }
    }
    LogSink::out() << "暗光谱采集完成" << std::endl;

    const uint32_t subtractReturnCode = returnCodeOf(sendReceiveMessage(Command::SET_SUBTRACT_DARK, 1));
    if (subtractReturnCode != 0) {
        LogSink::out() << "启用暗背景扣除失败，错误码: " << hexText(subtractReturnCode) << std::endl;
        throw std::runtime_error("SetSubtractDark failed, returnCode=0x" + hexText(subtractReturnCode));
    }
    LogSink::out() << "暗背景扣除已启用" << std::endl;
    m_subtractDark = true;
    sendReceiveMessage(Command::SET_TRIGGER_SOURCE, 1);
}

void SpectrometerDevice::setSubtractDark(bool enable)
{
    std::lock_guard<std::mutex> lock(m_darkSpectrumMutex);
    m_subtractDark = enable;
    try {
        sendReceiveMessage(Command::SET_SUBTRACT_DARK, enable ? 1u : 0u);
        LogSink::out() << "暗背景扣除设置为: " << (enable ? "启用" : "禁用") << std::endl;
    } catch (const std::exception& e) {
        LogSink::err() << "设置暗背景扣除失败: " << e.what() << std::endl;
        throw;
    }
}

// ---------------------------------------------------------------------------
// Command exchange

std::vector<uint8_t> SpectrometerDevice::sendReceiveMessage(uint32_t command_code)
{
    std::vector<uint8_t> frame;
    frame.reserve(4);
    appendLittleEndian(frame, command_code);
    return sendBulkReceiveMessage(frame);
}

std::vector<uint8_t> SpectrometerDevice::sendReceiveMessage(uint32_t command_code, uint32_t parameter)
{
    std::vector<uint8_t> frame;
    frame.reserve(8);
    appendLittleEndian(frame, command_code);
    appendLittleEndian(frame, parameter);
    return sendBulkReceiveMessage(frame);
}

std::vector<uint8_t> SpectrometerDevice::sendReceiveMessage(uint32_t command_code, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> frame;
    frame.reserve(4 + payload.size());
    appendLittleEndian(frame, command_code);
    frame.insert(frame.end(), payload.begin(), payload.end());
    return sendBulkReceiveMessage(frame);
}

std::vector<uint8_t> SpectrometerDevice::sendBulkReceiveMessage(const std::vector<uint8_t>& txData)
{
    using Kind = CommunicationError::Kind;
    const uint32_t command = txData.size() >= 4 ? ByteConverter::fromLittleEndian<uint32_t>(txData.data(), 0) : 0;
    try {
        // Replies carry no echo of their request, so a reply that comes late
        // must be gone before the next request, or it would answer it.
        if (m_replyOverdue) {
            m_device->discardLateInput(MAX_RX_LENGTH);
            m_replyOverdue = false;
        }
        m_device->write(txData);
        m_replyOverdue = true;
        std::vector<uint8_t> rx = m_device->read(MAX_RX_LENGTH);
        m_replyOverdue = false;
        if (rx.size() < RETURN_CODE_SIZE) {
            throw CommunicationError(Kind::BadReply,
                                     COMMUNICATION_FAILED + std::string("Not enough bytes received from device."),
                                     command, 0, 0);
        }
        const uint32_t returnCode = ByteConverter::fromLittleEndian<uint32_t>(rx.data(), 0);
        if ((returnCode >> 8) != 0) {
            throw CommunicationError(Kind::DeviceError, COMMUNICATION_FAILED + deviceErrorMessage(command, returnCode),
                                     command, returnCode, 0);
        }
        return rx;
    } catch (const CommunicationError&) {
        throw;
    } catch (const UsbTransferError& e) {
        throw CommunicationError(transferFailureKind(e.libusbError()), COMMUNICATION_FAILED + std::string(e.what()),
                                 command, 0, e.libusbError());
    } catch (const std::exception& e) {
        throw CommunicationError(Kind::Transport, COMMUNICATION_FAILED + std::string(e.what()), command, 0, 0);
    }
}

std::vector<uint8_t> SpectrometerDevice::readBulkData(size_t expectedSize)
{
    try {
        return m_device->read(static_cast<int>(expectedSize));
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("Bulk read error: ") + e.what());
    } catch (int code) {
        throw std::runtime_error(std::string("Bulk read failed: ") + libusb_error_name(code));
    }
}
