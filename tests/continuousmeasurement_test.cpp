// Continuous measurement on several simulated devices at once: delivery,
// de-duplication of spectra, callback failures and time-outs.

#include <velmor/vasklinkprotocol.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulator/spectrumrecord.h"
#include "support/recordingcallback.h"
#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"

using namespace velmorsim;
using namespace std::chrono_literals;

namespace {

constexpr int kExposureUs = 1000;
// A device time stamp of 03:25:45.678 on day 20000.
constexpr ClockStamp kKnownStamp{20000, 123456789};

// Stamps of the spectra the manager read for one device, from its read lines.
std::vector<ClockStamp> readStamps(const std::string& out, int deviceIndex)
{
    std::vector<ClockStamp> stamps;
    for (const auto& groups : linesMatching(out, R"(\[VLP\] read spectrum devIndex=)" + std::to_string(deviceIndex) +
                                                     R"( serial=\d+ specDateDays=(\d+) specTime01ms=(\d+) .*)")) {
        stamps.push_back({static_cast<uint32_t>(std::stoul(groups[1])), static_cast<uint32_t>(std::stoul(groups[2]))});
    }
    return stamps;
}

// The device gives its first `count` spectra this stamp.
void stampFirstSpectra(SpectrometerModel& model, int count, ClockStamp stamp)
{
    auto stamped = std::make_shared<std::atomic<int>>(0);
    model.injectFault(command::kReadSpectrum, Fault::editReply([stamped, count, stamp](std::vector<uint8_t>& reply) {
        if (reply.size() >= spectrumrecord::kPixelsOffset && (*stamped)++ < count) {
            for (int byte = 0; byte < 4; ++byte) {
                reply[spectrumrecord::kTimeOffset + byte] = static_cast<uint8_t>(stamp.time01ms >> (8 * byte));
                reply[spectrumrecord::kDateOffset + byte] = static_cast<uint8_t>(stamp.days >> (8 * byte));
            }
        }
    }), kForever);
}

class ContinuousMeasurement : public ::testing::Test {
protected:
    bool connect(const std::vector<SpectrometerConfig>& configs)
    {
        models = attachInPoolOrder(bench, configs);
        manager = std::make_unique<VaskLinkProtocol>();
        manager->connectDevice();
        capture.clear();
        return poolMatches(*manager, configs);
    }

    bool connectTwo() { return connect({SimulatedBench::fastConfig(0), SimulatedBench::fastConfig(1)}); }

    std::string serial(size_t index) { return manager->getDevice(static_cast<int>(index))->m_serialNumber; }
    bool measuring(size_t index) { return VaskLinkProtocolTestPeer::measuring(*manager, index); }

    SimulatedBench bench;
    std::vector<std::shared_ptr<SpectrometerModel>> models;
    RecordingCallback callback;
    StreamCapture capture;
    std::unique_ptr<VaskLinkProtocol> manager;
};

TEST_F(ContinuousMeasurement, DeliversEveryNewSpectrumOnceWithItsDevicesSerialAndWavelengths)
{
    ASSERT_TRUE(connectTwo());
    numberSpectra(*models[0]);
    numberSpectra(*models[1]);
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 5);
    ASSERT_TRUE(waitForWorkers(*manager));

    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE("device " + std::to_string(i));
        std::vector<std::vector<float>> values;
        for (const auto& spectrum : callback.spectraOf(serial(i))) {
            EXPECT_EQ(spectrum.wavelength, manager->getDevice(static_cast<int>(i))->getWavelength());
            EXPECT_EQ(spectrum.values.size(), 2048u);
            values.push_back(spectrum.values);
        }
        EXPECT_EQ(spectrumNumbers(values), numbersFrom(1, 5)) << "each spectrum the device made, once, in order";
        EXPECT_EQ(parametersOf(models[i]->requests(), command::kStartMeasure), std::vector<uint32_t>(5, 1));
        EXPECT_EQ(models[i]->state().availableSpectra, 0u);
    }
    EXPECT_EQ(occurrences(capture.out(), "光谱仪开始采集：积分时间="), 2u);
    EXPECT_EQ(capture.err(), "");
    EXPECT_TRUE(callback.errors().empty());

    // A count of zero or less still makes one measurement.
    for (const int measureCount : {0, -3}) {
        SCOPED_TRACE("measureCount " + std::to_string(measureCount));
        callback.clear();
        for (const auto& model : models) {
            model->clearRequests();
        }
        manager->startMeasurement(&callback, kExposureUs, 1, 0, measureCount);
        ASSERT_TRUE(waitForWorkers(*manager));
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(callback.spectraOf(serial(i)).size(), 1u);
            EXPECT_EQ(parametersOf(models[i]->requests(), command::kStartMeasure), std::vector<uint32_t>{1});
        }
    }
}

// One device, so that no other worker writes between the pieces of a line.
TEST_F(ContinuousMeasurement, LogLinesDescribeEachMeasurementWithOrWithoutCallback)
{
    ASSERT_TRUE(connect({SimulatedBench::fastConfig(0)}));
    stampFirstSpectra(*models[0], 1, kKnownStamp);
    const std::string startLine = R"(\[VLP\] checkStatusAndNotify start devIndex=0 startWallTime=)"
                                  R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} exposureTimeUs=1000 averaging=3 timeoutMs=3000 callback=)";
    std::cout << std::hex; // left so by the host: the numbers still come out in decimal
    manager->startMeasurement(&callback, kExposureUs, 3, 0, 1);
    ASSERT_TRUE(waitForWorkers(*manager));
    EXPECT_EQ(std::cout.flags() & std::ios_base::basefield, std::ios_base::dec);
    std::cout << std::dec;

    std::string out = capture.out();
    EXPECT_EQ(linesMatching(out, "光谱仪开始采集：积分时间=1000，平均次数=3").size(), 1u);
    EXPECT_EQ(linesMatching(out, startLine + "yes").size(), 1u);
    EXPECT_EQ(linesMatching(out, R"(\[VLP\] read spectrum devIndex=0 serial=10001 specDateDays=20000 )"
                                 R"(specTime01ms=123456789 specTime=03:25:45\.678 specExposureUs=1000 )"
                                 R"(specAveraging=3 elapsedMs=\d+)")
                  .size(),
              1u);
    EXPECT_EQ(linesMatching(out, R"(\[VLP\] callback onDataReceived devIndex=0 serial=10001 elapsedMs=\d+)").size(),
              1u);

    capture.clear();
    manager->startMeasurement(nullptr, kExposureUs, 3, 0, 1);
    ASSERT_TRUE(waitForWorkers(*manager));
    out = capture.out();
    EXPECT_EQ(linesMatching(out, startLine + "no").size(), 1u);
    EXPECT_EQ(readStamps(out, 0).size(), 1u) << "the spectrum is still read";
    EXPECT_EQ(occurrences(out, "[VLP] callback onDataReceived"), 0u);
    EXPECT_EQ(callback.spectra().size(), 1u);
}

TEST_F(ContinuousMeasurement, OnlyTheNewestOfSeveralWaitingSpectraIsDelivered)
{
    ASSERT_TRUE(connectTwo());
    StatusMask busy(*models[0], {true, true});
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 1);
    ASSERT_TRUE(waitUntil([&] { return busy.started() && models[0]->state().availableSpectra == 1; }));
    models[0]->preloadSpectra(2);
    const std::vector<ClockStamp> waiting = models[0]->waitingSpectrumStamps();
    ASSERT_EQ(waiting.size(), 3u);
    ASSERT_TRUE(waitUntil([&] { return !measuring(1); }));
    busy.release();
    ASSERT_TRUE(waitForWorkers(*manager));

    EXPECT_EQ(callback.spectraOf(serial(0)).size(), 1u);
    EXPECT_EQ(readStamps(capture.out(), 0), std::vector<ClockStamp>{waiting.back()});
    EXPECT_EQ(models[0]->state().availableSpectra, 0u);
    EXPECT_EQ(callback.spectraOf(serial(1)).size(), 1u);
}

TEST_F(ContinuousMeasurement, SpectrumDeliveredInAnEarlierRunIsDiscardedAsStale)
{
    ASSERT_TRUE(connectTwo());
    // The spectrum delivered in the first run and the first one of the
    // second run carry the same stamp.
    stampFirstSpectra(*models[0], 2, kKnownStamp);
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 1);
    ASSERT_TRUE(waitForWorkers(*manager));
    ASSERT_EQ(callback.spectraOf(serial(0)).size(), 1u);

    StatusMask busy(*models[0], {true, true});
    callback.clear();
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 1);
    ASSERT_TRUE(waitUntil([&] { return busy.started() && models[0]->state().availableSpectra == 1; }));
    models[0]->preloadSpectra(1);
    const ClockStamp fresh = models[0]->waitingSpectrumStamps().back();
    ASSERT_TRUE(waitUntil([&] { return !measuring(1); }));
    capture.clear();
    busy.release();
    ASSERT_TRUE(waitForWorkers(*manager));

    const std::string out = capture.out();
    EXPECT_EQ(linesMatching(out, R"(\[VLP\] discard stale spectrum devIndex=0 serial=10001 specDateDays=20000 )"
                                 R"(specTime01ms=123456789 specTime=03:25:45\.678)")
                  .size(),
              1u);
    EXPECT_EQ(readStamps(out, 0), std::vector<ClockStamp>{fresh});
    EXPECT_EQ(callback.spectraOf(serial(0)).size(), 1u);
    EXPECT_EQ(callback.spectraOf(serial(1)).size(), 1u);
}

TEST_F(ContinuousMeasurement, SpectrumWithoutTimeStampIsNeverTakenForStale)
{
    ASSERT_TRUE(connectTwo());
    stampFirstSpectra(*models[0], 2, {0, 0});
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 2);
    ASSERT_TRUE(waitForWorkers(*manager));

    EXPECT_EQ(callback.spectraOf(serial(0)).size(), 2u);
    EXPECT_EQ(occurrences(capture.out(), "[VLP] discard stale"), 0u);
    EXPECT_TRUE(callback.errors().empty());
}

TEST_F(ContinuousMeasurement, ExceptionsFromTheCallbackStayInTheWorker)
{
    ASSERT_TRUE(connectTwo());
    const std::string failing = serial(0);
    callback.afterSpectrum = [failing](const std::string& serialNumber) {
        if (serialNumber == failing) {
            throw std::runtime_error("host refused the spectrum");
        }
    };
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 3);
    ASSERT_TRUE(waitForWorkers(*manager));
    EXPECT_EQ(callback.spectraOf(failing).size(), 3u) << "measuring goes on after a standard exception";
    EXPECT_EQ(occurrences(capture.err(), "[VLP] getSpectrum exception devIndex=0 what=host refused the spectrum\n"), 3u);
    EXPECT_EQ(occurrences(capture.err(), "Exception in measurement thread"), 0u);

    callback.clear();
    capture.clear();
    callback.afterSpectrum = [failing](const std::string& serialNumber) {
        if (serialNumber == failing) {
            throw 42;
        }
    };
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 3);
    ASSERT_TRUE(waitForWorkers(*manager));
    EXPECT_EQ(callback.spectraOf(failing).size(), 1u) << "anything else ends the worker";
    EXPECT_EQ(occurrences(capture.err(), "Exception in measurement thread: 未知异常\n"), 1u);
    EXPECT_EQ(callback.spectraOf(serial(1)).size(), 3u);
}

// Waits for the library's real deadlines (5 s).
TEST_F(ContinuousMeasurement, TimeoutsReachOnErrorWithTheirOwnMessages)
{
    SpectrometerConfig neverFinishes = SimulatedBench::fastConfig(0);
    neverFinishes.timeScale = 0.0001; // the 1 ms exposure takes 10 s
    ASSERT_TRUE(connect({neverFinishes, SimulatedBench::fastConfig(1), SimulatedBench::fastConfig(2)}));
    reportBusyFor(*models[1], 40); // starts later, so the two workers' lines do not mix
    StatusMask staysBusy(*models[1], {true, false});
    const auto started = RecordingCallback::Clock::now();
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 1);
    ASSERT_TRUE(callback.waitForErrors(2, 12s));
    ASSERT_TRUE(waitForWorkers(*manager));

    std::map<std::string, RecordingCallback::Error> errors;
    for (const auto& error : callback.errors()) {
        errors.emplace(error.serialNumber, error);
    }
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[serial(0)].message, "Timeout waiting for spectrum.");
    EXPECT_EQ(errors[serial(1)].message, "Timeout waiting for device idle after spectrum.");
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(errors[serial(0)].at - started);
    EXPECT_GE(waited.count(), 5000);
    EXPECT_LT(waited.count(), 8000);

    const std::string out = capture.out();
    const auto noSpectrumWarning = linesMatching(
        out, R"(\[VLP\] warn long-wait devIndex=0 elapsedMs=(\d+) exposureTimeUs=1000 averaging=1 status=2 availableSpectra=0 callback=0)");
    ASSERT_EQ(noSpectrumWarning.size(), 1u);
    EXPECT_GE(std::stoi(noSpectrumWarning[0][1]), 3000);
    EXPECT_LT(std::stoi(noSpectrumWarning[0][1]), 5000);
    EXPECT_EQ(linesMatching(out, R"(\[VLP\] warn long-wait devIndex=1 elapsedMs=\d+ exposureTimeUs=1000 averaging=1 status=2 availableSpectra=0 callback=1)")
                  .size(),
              1u);
    EXPECT_TRUE(callback.spectraOf(serial(0)).empty());
    EXPECT_EQ(callback.spectraOf(serial(1)).size(), 1u);
    EXPECT_EQ(callback.spectraOf(serial(2)).size(), 1u);
    EXPECT_EQ(occurrences(out, "[VLP] warn long-wait devIndex=2"), 0u);
}

// Waits for the library's idle deadline (2 s).
TEST_F(ContinuousMeasurement, DeviceStillBusyAfterStopEndsOnlyItsOwnWorker)
{
    ASSERT_TRUE(connectTwo());
    models[0]->setStuckBusy(StuckBusy::Now);
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 2);
    ASSERT_TRUE(waitForWorkers(*manager));

    EXPECT_EQ(occurrences(capture.err(), "Exception in measurement thread: Device is not idle after stopMeasure\n"), 1u);
    EXPECT_TRUE(parametersOf(models[0]->requests(), command::kStartMeasure).empty());
    EXPECT_EQ(callback.spectraOf(serial(1)).size(), 2u);
    const auto errors = callback.errors();
    ASSERT_EQ(errors.size(), 1u) << "the host learns that this device's spectra will not come";
    EXPECT_EQ(errors[0].serialNumber, serial(0));
    EXPECT_EQ(errors[0].message, "Device is not idle after stopMeasure");
}

TEST_F(ContinuousMeasurement, FailedWorkerTellsTheHostOnceAndOnErrorCannotEscapeItsThread)
{
    ASSERT_TRUE(connectTwo());
    models[0]->injectFault(command::kStartMeasure, Fault::deviceError(0x0700));
    callback.afterError = [](const std::string&) { throw std::runtime_error("host gave up"); };
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 3);
    ASSERT_TRUE(waitForWorkers(*manager));

    const std::string reason =
        "Communication failed: A communication error occurred. Device error (cmd:0x0004 ret:0x0700).";
    const auto errors = callback.errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].serialNumber, serial(0));
    EXPECT_EQ(errors[0].message, reason);
    EXPECT_EQ(occurrences(capture.err(), "Exception in measurement thread: " + reason + "\n"), 1u);
    EXPECT_EQ(occurrences(capture.err(), "Exception in onError: host gave up\n"), 1u);
    EXPECT_EQ(callback.spectraOf(serial(1)).size(), 3u);
}

// Waits for the library's real deadlines (5 s).
TEST_F(ContinuousMeasurement, TimedOutMeasurementStopsTheDeviceAndAFailingOnErrorIsNotReportedBack)
{
    SpectrometerConfig neverFinishes = SimulatedBench::fastConfig(0);
    neverFinishes.timeScale = 0.0001; // the 1 ms exposure takes 10 s
    ASSERT_TRUE(connect({neverFinishes}));
    callback.afterError = [](const std::string&) { throw std::runtime_error("host gave up"); };
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 2);
    ASSERT_TRUE(waitForWorkers(*manager, 12s));

    ASSERT_EQ(callback.errors().size(), 1u);
    EXPECT_EQ(callback.errors()[0].message, "Timeout waiting for spectrum.");
    EXPECT_EQ(occurrences(capture.err(), "Exception in measurement thread: host gave up\n"), 1u);
    const std::vector<uint32_t> codes = commandCodes(models[0]->requests());
    const auto start = std::find(codes.begin(), codes.end(), command::kStartMeasure);
    EXPECT_NE(std::find(start, codes.end(), command::kStopMeasure), codes.end()) << "no stop after the deadline";
    EXPECT_EQ(models[0]->state().status, DeviceStatus::Idle) << "the next start would be refused";
}

// Holds the exchange before the start command long enough for a stop to come in.
TEST_F(ContinuousMeasurement, StopJustBeforeTheStartCommandStartsNothing)
{
    ASSERT_TRUE(connect({SimulatedBench::fastConfig(0)}));
    models[0]->injectFault(command::kReadSpectrum, Fault::lateReply(300ms), 2);
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 1);
    ASSERT_TRUE(waitUntil([&] {
        const std::vector<uint32_t> codes = commandCodes(models[0]->requests());
        const auto configured = std::find(codes.begin(), codes.end(), command::kSetAveraging);
        return std::find(configured, codes.end(), command::kReadSpectrum) != codes.end();
    }));
    manager->stopMeasurement();
    EXPECT_TRUE(parametersOf(models[0]->requests(), command::kStartMeasure).empty());
    EXPECT_EQ(models[0]->state().status, DeviceStatus::Idle);
    EXPECT_TRUE(callback.errors().empty());
}

// Runs in real time: 50 averaged exposures of 110 ms take 5.5 s.
TEST_F(ContinuousMeasurement, DeadlineCountsEveryAveragedExposureAndTheDelay)
{
    ASSERT_TRUE(connect({SpectrometerModel::defaultConfig(0)}));
    manager->startMeasurement(&callback, 110000, 50, 20000, 1);
    ASSERT_TRUE(waitForWorkers(*manager, 15s));
    EXPECT_TRUE(callback.errors().empty());
    EXPECT_EQ(callback.spectra().size(), 1u);
    EXPECT_EQ(occurrences(capture.out(), "exposureTimeUs=110000 averaging=50 timeoutMs=7520 callback=yes\n"), 1u);
}

} // namespace
