// Stopping measurements: while workers poll, when none run, when a device
// refuses, and by destroying or disconnecting a measuring manager.

#include <velmor/vasklinkprotocol.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/recordingcallback.h"
#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"

using namespace velmorsim;
using namespace std::chrono_literals;

namespace {

using Peer = VaskLinkProtocolTestPeer;

// At real speed a spectrum of this exposure takes 2 s, so workers are still
// polling when the test stops them.
constexpr int kLongExposureUs = 2000000;
constexpr char kStoppingBoth[] = "Stopping measurement for device 0\nStopping measurement for device 1\n";

class MeasurementStop : public ::testing::Test {
protected:
    void SetUp() override
    {
        models = attachInPoolOrder(bench, {SpectrometerModel::defaultConfig(0), SpectrometerModel::defaultConfig(1)});
        manager->connectDevice();
        ASSERT_EQ(manager->getConnectedDeviceCount(), 2u);
        ASSERT_EQ(manager->getDevice(0)->m_serialNumber, models[0]->config().serialNumber);
        capture.clear();
    }

    // Starts a long measurement, waits until both workers are polling and
    // forgets the output so far.
    void startPolling()
    {
        manager->startMeasurement(&callback, kLongExposureUs, 1, 0, 3);
        ASSERT_TRUE(waitUntil([this] {
            return !parametersOf(models[0]->requests(), command::kStartMeasure).empty() &&
                   !parametersOf(models[1]->requests(), command::kStartMeasure).empty();
        }));
        capture.clear();
    }

    std::vector<size_t> requestCounts() const
    {
        return {models[0]->requests().size(), models[1]->requests().size()};
    }

    void expectDevicesLeftAlone()
    {
        const std::vector<size_t> before = requestCounts();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(requestCounts(), before) << "a worker still talks to its device";
    }

    void expectShortRunDelivers()
    {
        callback.clear();
        manager->startMeasurement(&callback, 1000, 1, 0, 1);
        ASSERT_TRUE(waitForWorkers(*manager));
        EXPECT_EQ(callback.spectra().size(), 2u);
    }

    SimulatedBench bench;
    std::vector<std::shared_ptr<SpectrometerModel>> models;
    RecordingCallback callback;
    StreamCapture capture;
    std::unique_ptr<VaskLinkProtocol> manager = std::make_unique<VaskLinkProtocol>();
};

TEST_F(MeasurementStop, StopWithoutWorkersStillStopsEveryDevice)
{
    EXPECT_TRUE(Peer::isStop(*manager)) << "a new manager starts stopped";
    for (int call = 1; call <= 2; ++call) {
        SCOPED_TRACE("call " + std::to_string(call));
        capture.clear();
        manager->stopMeasurement();
        EXPECT_EQ(capture.out(), kStoppingBoth);
        EXPECT_EQ(capture.err(), "");
        for (const auto& model : models) {
            const std::vector<uint32_t> codes = commandCodes(model->requests());
            EXPECT_EQ(std::count(codes.begin(), codes.end(), command::kStopMeasure), call);
        }
        EXPECT_FALSE(Peer::isStop(*manager));
        EXPECT_EQ(Peer::threadCount(*manager), 0u);
    }
}

TEST_F(MeasurementStop, StopWhilePollingEndsEveryWorkerWithoutError)
{
    ASSERT_NO_FATAL_FAILURE(startPolling());
    manager->stopMeasurement();

    EXPECT_EQ(occurrences(capture.out(), "Stopping measurement for device "), 2u);
    EXPECT_EQ(Peer::threadCount(*manager), 0u);
    EXPECT_FALSE(Peer::isStop(*manager));
    EXPECT_FALSE(Peer::measuring(*manager, 0));
    EXPECT_FALSE(Peer::measuring(*manager, 1));
    EXPECT_TRUE(callback.errors().empty());
    EXPECT_EQ(capture.err(), "");
    for (const auto& model : models) {
        EXPECT_EQ(parametersOf(model->requests(), command::kStartMeasure).size(), 1u) << "no measurement after stop";
        model->clearRequests();
    }

    // Stopping again sends the stop commands again, in index order, and has
    // nothing to join.
    capture.clear();
    manager->stopMeasurement();
    EXPECT_EQ(capture.out(), kStoppingBoth);
    for (const auto& model : models) {
        EXPECT_EQ(commandCodes(model->requests()), std::vector<uint32_t>{command::kStopMeasure});
    }
    expectShortRunDelivers();
}

TEST_F(MeasurementStop, RefusedStopCommandIsReportedByDeviceIndex)
{
    ASSERT_NO_FATAL_FAILURE(startPolling());
    models[0]->injectFault(command::kStopMeasure, Fault::deviceError(returncode::kNotAllowed));
    manager->stopMeasurement();

    EXPECT_EQ(occurrences(capture.err(), "Error stopping measurement for device 0: Communication failed: This operation "
                                         "is currently not allowed. Device error (cmd:0x0005 ret:0x0400).\n"),
              1u);
    EXPECT_EQ(occurrences(capture.err(), "Error stopping measurement for device"), 1u);
    EXPECT_FALSE(Peer::measuring(*manager, 0));
    EXPECT_EQ(Peer::threadCount(*manager), 0u);
    EXPECT_EQ(models[1]->state().status, DeviceStatus::Idle);
}

TEST_F(MeasurementStop, DestroyingAMeasuringManagerStopsAndJoinsItsWorkers)
{
    ASSERT_NO_FATAL_FAILURE(startPolling());
    manager.reset();

    EXPECT_EQ(occurrences(capture.out(), "Stopping measurement for device "), 2u);
    EXPECT_TRUE(callback.errors().empty());
    expectDevicesLeftAlone();
}

TEST_F(MeasurementStop, DisconnectWhileMeasuringStopsTheWorkersFirst)
{
    ASSERT_NO_FATAL_FAILURE(startPolling());
    manager->disconnectDevice();

    EXPECT_EQ(manager->getConnectedDeviceCount(), 0u);
    EXPECT_EQ(occurrences(capture.out(), "Stopping measurement for device "), 2u);
    EXPECT_EQ(Peer::threadCount(*manager), 0u);
    expectDevicesLeftAlone();

    manager->connectDevice();
    ASSERT_EQ(manager->getConnectedDeviceCount(), 2u);
    expectShortRunDelivers();
}

} // namespace
