// What the tool makes of the library's callbacks: which errors end a
// device's measurement, and when the tool stops waiting for a device.
#include "acquisition/devicewaitrule.h"
#include "acquisition/spectrumcollector.h"

#include <velmor/communicationerror.h>

#include <gtest/gtest.h>

#include <thread>

namespace velmorcli {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

const std::vector<float> WAVELENGTHS{400.0f, 500.0f};
const std::vector<float> SPECTRUM{1.0f, 2.0f};

DeviceProgress progressOf(SpectrumCollector& collector, const std::string& serialNumber)
{
    for (const DeviceProgress& device : collector.progress()) {
        if (device.serialNumber == serialNumber) {
            return device;
        }
    }
    ADD_FAILURE() << "no progress for " << serialNumber;
    return {};
}

TEST(SpectrumCollector, TimeoutsCountOnWhileAnyOtherErrorEndsTheDevice)
{
    SpectrumCollector collector;
    collector.expect({"20001", "20002"});
    collector.onDataReceived("20001", WAVELENGTHS, SPECTRUM);
    using Kind = CommunicationError::Kind;
    const auto failure = [](Kind kind, uint32_t command) {
        return std::make_exception_ptr(CommunicationError(kind, "", command, 0, 0));
    };
    collector.onFailure("20001", "Timeout waiting for spectrum.", failure(Kind::Timeout, 0));
    collector.onFailure("20001", "Timeout waiting for device idle after spectrum.", failure(Kind::Timeout, 0));
    // A USB time-out of an exchange ends the worker, whatever its text says.
    collector.onFailure("20002", "Timeout waiting for spectrum.", failure(Kind::Timeout, 0x3000));
    collector.onError("20002", "a later error");

    const DeviceProgress timedOut = progressOf(collector, "20001");
    EXPECT_EQ(timedOut.spectra, 1u);
    EXPECT_EQ(timedOut.timeouts, 2u);
    EXPECT_FALSE(timedOut.failed);
    EXPECT_TRUE(progressOf(collector, "20002").failed);

    const std::vector<DeviceSpectra> results = collector.results();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].serialNumber, "20001") << "results keep the expected order";
    EXPECT_TRUE(results[0].failure.empty());
    EXPECT_EQ(results[1].failure, "Timeout waiting for spectrum.") << "the first reason is kept";
    EXPECT_TRUE(results[1].timeouts.empty());
}

TEST(SpectrumCollector, AFailedBatchKeepsWhatItDeliveredBeforeItsError)
{
    SpectrumCollector collector;
    collector.expect({"20001"});
    collector.onDataReceivedBanch("20001", WAVELENGTHS, {SPECTRUM, SPECTRUM, SPECTRUM});
    collector.onError("20001", "Communication failed: LIBUSB_ERROR_NO_DEVICE");
    collector.onError("30003", "");

    const std::vector<DeviceSpectra> results = collector.results();
    ASSERT_EQ(results.size(), 2u) << "a device that was not expected is kept all the same";
    EXPECT_EQ(results[0].spectra.size(), 3u);
    EXPECT_EQ(results[0].wavelengths, WAVELENGTHS);
    EXPECT_EQ(results[0].failure, "Communication failed: LIBUSB_ERROR_NO_DEVICE");
    EXPECT_FALSE(results[1].failure.empty()) << "an empty message still marks the device as failed";
}

TEST(SpectrumCollector, AWaitingHostLearnsOfAFailureAtOnce)
{
    SpectrumCollector collector;
    collector.expect({"20001"});
    collector.progress();
    std::thread worker([&collector] { collector.onError("20001", "Communication failed: LIBUSB_ERROR_IO"); });
    // Returns on the news, long before the hour is up (the test's own
    // time-out would catch a wait that missed it).
    std::vector<DeviceProgress> progress;
    do {
        progress = collector.progressAfterNews(steady_clock::now() + std::chrono::hours{1});
    } while (!progress.front().failed);
    worker.join();
}

TEST(DeviceWaitRule, AContinuousDeviceIsOverWhenEverySpectrumCameOrTimedOutOrItFailed)
{
    const DeviceWaitRule rule(5, false, std::nullopt);
    DeviceProgress device;
    device.spectra = 4;
    EXPECT_FALSE(rule.isOver(device));
    device.timeouts = 1;
    EXPECT_TRUE(rule.hasDelivered(device));
    const DeviceProgress failedEarly{"20001", 2, 0, 2, true, {}};
    EXPECT_FALSE(rule.hasDelivered(failedEarly));
    EXPECT_TRUE(rule.isOver(failedEarly));
    EXPECT_FALSE(rule.isSilent(DeviceProgress{}, steady_clock::now() + std::chrono::hours{1}))
        << "no silence limit, no silence";
}

TEST(DeviceWaitRule, ABatchDeviceIsOverWithItsDeliveryOrItsError)
{
    const DeviceWaitRule rule(50, true, std::nullopt);
    DeviceProgress device;
    device.spectra = 12;
    EXPECT_FALSE(rule.isOver(device)) << "spectra come with the delivery, not one by one";
    device.deliveries = 1;
    EXPECT_TRUE(rule.hasDelivered(device)) << "a short batch is still the whole delivery";
    EXPECT_TRUE(rule.isOver(DeviceProgress{"20001", 0, 0, 0, true, {}}));
}

TEST(DeviceWaitRule, SilenceCountsFromTheLastNewsOfADeviceStillAtWork)
{
    const DeviceWaitRule rule(5, false, milliseconds{9000});
    const auto newsAt = steady_clock::now();
    const DeviceProgress working{"20001", 1, 0, 1, false, newsAt};
    EXPECT_FALSE(rule.isSilent(working, newsAt + milliseconds{9000}));
    EXPECT_TRUE(rule.isSilent(working, newsAt + milliseconds{9001}));
    const DeviceProgress done{"20001", 5, 0, 5, false, newsAt};
    EXPECT_FALSE(rule.isSilent(done, newsAt + std::chrono::hours{1})) << "a device that finished is not silent";
}

} // namespace
} // namespace velmorcli
