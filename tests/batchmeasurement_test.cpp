// Batch measurement: start order, whole batches in one call, truncation,
// stopping a batch, long batches and refused starts.

#include <velmor/vasklinkprotocol.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/recordingcallback.h"
#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"

using namespace velmorsim;
using namespace std::chrono_literals;

namespace {

using Peer = VaskLinkProtocolTestPeer;

SpectrometerConfig withFirstWavelength(SpectrometerConfig config, std::string serialNumber, float firstWavelength)
{
    config.serialNumber = std::move(serialNumber);
    config.wavelengthCoefficients[0] = firstWavelength;
    return config;
}

std::vector<float> numbersOf(const RecordingCallback::Batch& batch) { return spectrumNumbers(batch.spectra); }

class BatchMeasurement : public ::testing::Test {
protected:
    bool connect(const std::vector<SpectrometerConfig>& configs)
    {
        models = attachInPoolOrder(bench, configs);
        manager.connectDevice();
        capture.clear();
        return poolMatches(manager, configs);
    }

    bool connectTwo() { return connect({SimulatedBench::fastConfig(0), SimulatedBench::fastConfig(1)}); }

    std::string serial(size_t index) { return manager.getDevice(static_cast<int>(index))->m_serialNumber; }

    // Serial numbers in the order the devices were started.
    std::vector<std::string> startOrder()
    {
        std::vector<std::string> serials;
        for (const auto& groups : linesMatching(capture.err(), "The current device number that is being started:(.*)")) {
            serials.push_back(groups[1]);
        }
        return serials;
    }

    size_t statusReadsAfterStart(size_t index)
    {
        const std::vector<uint32_t> codes = commandCodes(models[index]->requests());
        const auto start = std::find(codes.begin(), codes.end(), command::kStartMeasure);
        return static_cast<size_t>(std::count(start, codes.end(), command::kGetStatus));
    }

    SimulatedBench bench;
    std::vector<std::shared_ptr<SpectrometerModel>> models;
    RecordingCallback callback;
    StreamCapture capture;
    VaskLinkProtocol manager;
};

TEST_F(BatchMeasurement, DevicesStartInAscendingOrderOfTheirFirstWavelength)
{
    ASSERT_TRUE(connect({withFirstWavelength(SimulatedBench::fastConfig(0), "10001", 350.2f),
                         withFirstWavelength(SimulatedBench::fastConfig(1), "10002", 200.5f)}));
    manager.startBatchMeasurement(&callback, 1000, 1, 1, 0);
    EXPECT_EQ(startOrder(), (std::vector<std::string>{"10002", "10001"}));
    EXPECT_TRUE(callback.waitForBatches(2));
}

// The exchange sort never swaps equal values directly, but a swap with a
// third one can reverse them: 500 (A), 500 (B), 300 (C) start C, B, A.
TEST_F(BatchMeasurement, EqualFirstWavelengthsFollowTheExchangeSortAndMissingTablesStartLast)
{
    SpectrometerConfig noPixels = withFirstWavelength(SimulatedBench::fastConfig(3), "30004", 100.0f);
    noPixels.pixelCount = 0;
    ASSERT_TRUE(connect({withFirstWavelength(SimulatedBench::fastConfig(0), "30001", 500.0f), noPixels,
                         withFirstWavelength(SimulatedBench::fastConfig(1), "30002", 500.0f),
                         withFirstWavelength(SimulatedBench::fastConfig(2), "30003", 300.0f)}));
    manager.startBatchMeasurement(&callback, 1000, 1, 1, 0);
    EXPECT_EQ(startOrder(), (std::vector<std::string>{"30003", "30002", "30001", "30004"}));
    ASSERT_TRUE(callback.waitForBatches(4));
    const auto empty = callback.batchesOf("30004");
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_TRUE(empty[0].wavelength.empty());
    EXPECT_EQ(empty[0].spectra, std::vector<std::vector<float>>(1));
}

TEST_F(BatchMeasurement, EachDevicesBatchArrivesWholeInOneCall)
{
    ASSERT_TRUE(connectTwo());
    const auto numbered0 = numberSpectra(*models[0]);
    numberSpectra(*models[1]);
    models[0]->preloadSpectra(3); // left over from an earlier run: drained, never delivered
    manager.startBatchMeasurement(&callback, 1000, 10, 1, 0);
    ASSERT_TRUE(callback.waitForBatches(2));
    ASSERT_TRUE(waitForWorkers(manager));

    EXPECT_EQ(occurrences(capture.out(), "光谱仪开始批处理采集：积分时间="), 2u);
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE("device " + std::to_string(i));
        const auto batches = callback.batchesOf(serial(i));
        ASSERT_EQ(batches.size(), 1u);
        EXPECT_EQ(numbersOf(batches[0]), numbersFrom(i == 0 ? 4 : 1, 10));
        EXPECT_EQ(batches[0].wavelength, manager.getDevice(static_cast<int>(i))->getWavelength());
        EXPECT_EQ(batches[0].spectra.back().size(), 2048u);
        EXPECT_EQ(parametersOf(models[i]->requests(), command::kStartMeasure), std::vector<uint32_t>{10});
    }
    EXPECT_EQ(*numbered0, 13);
    EXPECT_TRUE(callback.spectra().empty());
    EXPECT_EQ(occurrences(capture.out(), "[VLP] Truncated"), 0u);
}

TEST_F(BatchMeasurement, SpectraBeyondTheBatchSizeAreCutOff)
{
    ASSERT_TRUE(connectTwo());
    numberSpectra(*models[0]);
    StatusMask hidden(*models[0], {false, true});
    manager.startBatchMeasurement(&callback, 1000, 10, 1, 0);
    ASSERT_TRUE(waitUntil([&] { return hidden.started() && models[0]->state().availableSpectra == 10; }));
    models[0]->preloadSpectra(2);
    hidden.release();
    ASSERT_TRUE(callback.waitForBatches(2));

    const auto batches = callback.batchesOf(serial(0));
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(numbersOf(batches[0]), numbersFrom(1, 10)) << "the first ten are kept";
    EXPECT_EQ(occurrences(capture.out(), "[VLP] Truncated spectra to 10 measurements\n"), 1u);
    EXPECT_EQ(models[0]->state().availableSpectra, 0u);
    EXPECT_EQ(callback.batchesOf(serial(1)).at(0).spectra.size(), 10u);
}

TEST_F(BatchMeasurement, StopDeliversWhatWasCollectedBeforeItReturns)
{
    ASSERT_TRUE(connectTwo());
    const auto sent0 = numberSpectra(*models[0]);
    const auto sent1 = numberSpectra(*models[1]);
    StatusMask hidden(*models[0], {false, true, true});
    reportBusyFor(*models[1], 25); // out of step with device 0, so their lines do not mix
    // 2 s exposures at the fast time scale: one spectrum every 20 ms.
    manager.startBatchMeasurement(&callback, 2000000, 100, 1, 0);
    ASSERT_TRUE(waitUntil([&] {
        return hidden.started() && models[0]->state().availableSpectra >= 5 &&
               !parametersOf(models[1]->requests(), command::kStartMeasure).empty();
    }));
    manager.stopMeasurement();

    const auto batches0 = callback.batchesOf(serial(0));
    const auto batches1 = callback.batchesOf(serial(1));
    ASSERT_EQ(batches0.size(), 1u);
    ASSERT_EQ(batches1.size(), 1u);
    const int collected = static_cast<int>(batches0[0].spectra.size());
    EXPECT_GE(collected, 5);
    EXPECT_EQ(numbersOf(batches0[0]), numbersFrom(1, *sent0));
    EXPECT_EQ(linesMatching(capture.out(), "\\[VLP\\] Final read " + std::to_string(collected) + " spectra, total: " +
                                               std::to_string(collected) + "/100")
                  .size(),
              1u) << "device 0 found nothing in its collection cycles";
    EXPECT_EQ(numbersOf(batches1[0]), numbersFrom(1, *sent1));
    EXPECT_EQ(Peer::threadCount(manager), 0u);
}

TEST_F(BatchMeasurement, LongBatchIsCollectedInCyclesWhileTheDeviceWorks)
{
    // 300 exposures of 10 s: more microseconds than a 32-bit count holds.
    // The time scale makes each take 4 ms, so the device works through
    // several collection cycles.
    SpectrometerConfig config = SimulatedBench::fastConfig(0);
    config.timeScale = 2500.0;
    config.pixelCount = 64;
    ASSERT_TRUE(connect({config}));
    numberSpectra(*models[0]);
    manager.startBatchMeasurement(&callback, 10000000, 300, 1, 0);
    ASSERT_TRUE(callback.waitForBatches(1, 15s));

    const auto batches = callback.batches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(numbersOf(batches[0]), numbersFrom(1, 300));
    EXPECT_GE(statusReadsAfterStart(0), 5u) << "a collection cycle found the device still working";
    EXPECT_EQ(occurrences(capture.out(), "[VLP] Final read"), 0u) << "a time limit that wrapped around would skip the cycles";
    EXPECT_EQ(occurrences(capture.out(), "[VLP] Truncated"), 0u);
    EXPECT_EQ(linesMatching(capture.out(), "光谱仪开始批处理采集：积分时间=10000000，平均次数=1，批处理大小=300").size(), 1u);

    // No collections still make a batch of one.
    callback.clear();
    capture.clear();
    manager.startBatchMeasurement(&callback, 1000, 0, 2, 0);
    ASSERT_TRUE(callback.waitForBatches(1));
    EXPECT_EQ(linesMatching(capture.out(), "光谱仪开始批处理采集：积分时间=1000，平均次数=2，批处理大小=1").size(), 1u);
    EXPECT_EQ(callback.batches().at(0).spectra.size(), 1u);
    EXPECT_EQ(parametersOf(models[0]->requests(), command::kStartMeasure), (std::vector<uint32_t>{300, 1}));
}

TEST_F(BatchMeasurement, RefusedStartsThrowInvalidArgument)
{
    SpectrometerConfig named = SpectrometerModel::defaultConfig(1);
    named.serialNumber = "ABC";
    ASSERT_TRUE(connect({SpectrometerModel::defaultConfig(0), named}));
    manager.startMeasurement(&callback, 2000000, 1, 0, 1);
    ASSERT_TRUE(waitUntil([&] { return occurrences(capture.out(), "[VLP] checkStatusAndNotify start") == 2; }));
    capture.clear();

    EXPECT_THROW(manager.startBatchMeasurement(nullptr, 1000, 5, 1, 0), std::invalid_argument);
    EXPECT_EQ(occurrences(capture.out(), "Stopping measurement"), 0u) << "nothing is stopped without a callback";
    EXPECT_EQ(Peer::threadCount(manager), 2u);

    for (const auto& model : models) {
        model->clearRequests();
    }
    EXPECT_THROW(manager.startBatchMeasurement(&callback, 1000, 5, 1, 0), std::invalid_argument);
    EXPECT_EQ(occurrences(capture.out(), "Stopping measurement for device "), 2u) << "the running measurement stops";
    EXPECT_EQ(Peer::threadCount(manager), 0u);
    EXPECT_FALSE(Peer::measuring(manager, 0));
    EXPECT_FALSE(Peer::measuring(manager, 1));
    EXPECT_TRUE(startOrder().empty());
    for (const auto& model : models) {
        EXPECT_TRUE(parametersOf(model->requests(), command::kStartMeasure).empty());
    }
    EXPECT_TRUE(callback.batches().empty());
}

TEST_F(BatchMeasurement, SerialNumbersOfTheSameValueBothMeasure)
{
    ASSERT_TRUE(connect({withFirstWavelength(SimulatedBench::fastConfig(0), "0123", 350.0f),
                         withFirstWavelength(SimulatedBench::fastConfig(1), "123", 200.0f)}));
    manager.startBatchMeasurement(&callback, 1000, 2, 1, 0);
    EXPECT_EQ(startOrder(), (std::vector<std::string>{"123", "0123"}));
    ASSERT_TRUE(callback.waitForBatches(2));
    EXPECT_EQ(callback.batchesOf("0123").at(0).spectra.size(), 2u);
    EXPECT_EQ(callback.batchesOf("123").at(0).spectra.size(), 2u);
    EXPECT_EQ(occurrences(capture.err(), "is already measuring."), 0u);
}

// Holds the last setting before the start command long enough for a stop to come in.
TEST_F(BatchMeasurement, StopJustBeforeTheStartCommandLeavesTheDeviceIdle)
{
    ASSERT_TRUE(connect({SimulatedBench::fastConfig(0)}));
    models[0]->injectFault(command::kSetAveraging, Fault::lateReply(300ms));
    manager.startBatchMeasurement(&callback, 2000000, 100, 1, 0);
    ASSERT_TRUE(waitUntil([&] { return !parametersOf(models[0]->requests(), command::kSetAveraging).empty(); }));
    manager.stopMeasurement();

    EXPECT_TRUE(parametersOf(models[0]->requests(), command::kStartMeasure).empty());
    EXPECT_EQ(models[0]->state().status, DeviceStatus::Idle) << "nobody reads this batch";
    ASSERT_EQ(callback.batches().size(), 1u) << "the run still ends in one delivery";
    EXPECT_TRUE(callback.batches()[0].spectra.empty());
    EXPECT_TRUE(callback.errors().empty());
}

// Runs near real time: ten spectra of 1000 averaged 1 ms exposures take
// 6.25 s at this time scale, beyond a limit that ignored averaging.
TEST_F(BatchMeasurement, TimeLimitCountsEveryAveragedExposure)
{
    SpectrometerConfig config = SimulatedBench::fastConfig(0);
    config.timeScale = 1.6;
    config.pixelCount = 64;
    ASSERT_TRUE(connect({config}));
    manager.startBatchMeasurement(&callback, 1000, 10, 1000, 0);
    ASSERT_TRUE(callback.waitForBatches(1, 20s));
    EXPECT_EQ(callback.batches()[0].spectra.size(), 10u);
    EXPECT_TRUE(callback.errors().empty());
}

TEST_F(BatchMeasurement, LargestArgumentsNeitherOverflowNorOutliveTheStop)
{
    ASSERT_TRUE(connectTwo());
    manager.startBatchMeasurement(&callback, INT_MAX, INT_MAX, INT_MAX, INT_MAX);
    ASSERT_TRUE(waitUntil([&] { return !parametersOf(models[1]->requests(), command::kStartMeasure).empty(); }));
    const auto stopAt = std::chrono::steady_clock::now();
    manager.stopMeasurement();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, 3s);
    EXPECT_EQ(callback.batches().size(), 2u);
    EXPECT_EQ(Peer::threadCount(manager), 0u);
}

} // namespace
