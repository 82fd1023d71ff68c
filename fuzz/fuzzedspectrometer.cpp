#include "fuzzedspectrometer.h"

#include "discardingbuffer.h"
#include "standinusbbus.h"

#include <velmor/libusbinterface.h>

#include <algorithm>
#include <exception>

namespace {

// Sets the number of waiting spectra in every status reply.
velmorsim::Fault announcedSpectra(uint16_t count)
{
    return velmorsim::Fault::editReply([count](std::vector<uint8_t>& reply) {
        if (reply.size() >= 7) {
            reply[5] = static_cast<uint8_t>(count);
            reply[6] = static_cast<uint8_t>(count >> 8);
        }
    });
}

velmorsim::SpectrometerConfig fuzzedConfig()
{
    velmorsim::SpectrometerConfig config;
    config.pixelCount = FuzzedSpectrometer::kPixelCount;
    config.endPixel = FuzzedSpectrometer::kPixelCount - 1;
    config.timeScale = 100.0;
    return config;
}

} // namespace

FuzzedSpectrometer::FuzzedSpectrometer()
    : mModel(std::make_shared<velmorsim::SpectrometerModel>(fuzzedConfig())),
      mAddress(StandInUsbBus::instance().plug(mModel))
{
    ensureConnected();
}

FuzzedSpectrometer::~FuzzedSpectrometer()
{
    mDevice.reset();
    StandInUsbBus::instance().unplug(mAddress);
}

std::unique_ptr<SpectrometerDevice> FuzzedSpectrometer::connect() const
{
    return std::make_unique<SpectrometerDevice>(std::make_unique<LibusbInterface>(
        VELMOR_USB_VID, VELMOR_USB_PID, StandInUsbBus::kBusNumber, mAddress));
}

void FuzzedSpectrometer::reconnect()
{
    mDevice.reset();
    mDevice = connect();
}

void FuzzedSpectrometer::ensureConnected()
{
    if (!mDevice) {
        mDevice = connect();
    }
}

void prepareFuzzedSpectrometer()
{
    DiscardingBuffer::discardStandardStreams();
    fuzzedSpectrometer();
}

FuzzedSpectrometer& fuzzedSpectrometer()
{
    static FuzzedSpectrometer spectrometer;
    return spectrometer;
}

void runReplyCase(const std::vector<ReplyCase>& cases, const uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return;
    }
    const ReplyCase& replyCase = cases[data[0] % cases.size()];
    const std::size_t replyLength = std::min(size - 1, static_cast<std::size_t>(SpectrometerDevice::MAX_RX_LENGTH));
    FuzzedSpectrometer& spectrometer = fuzzedSpectrometer();
    spectrometer.model().injectFault(
        replyCase.command, velmorsim::Fault::fixedReply(std::vector<uint8_t>(data + 1, data + 1 + replyLength)),
        replyCase.replies);
    if (replyCase.spectraWaiting != 0) {
        spectrometer.model().injectFault(velmorsim::command::kGetStatus, announcedSpectra(replyCase.spectraWaiting),
                                         velmorsim::kForever);
    }
    try {
        replyCase.run(spectrometer);
    } catch (const std::exception&) {
        // Refusing a reply is the library's right; only a crash or a
        // sanitizer report is a finding.
    }
    spectrometer.model().clearFaults();
    // The model keeps every request for tests to look at.
    spectrometer.model().clearRequests();
    spectrometer.ensureConnected();
}
