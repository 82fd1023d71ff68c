// What a host sees when a spectrometer misbehaves: a device unplugged at
// every stage, one that stops answering, refuses everything, answers late,
// sends garbage or stays busy; stops and destruction while workers run. Each
// scenario checks the callbacks, their order and counts, that no spectrum
// arrives twice, that the other devices keep their pace, and that every
// call returns within a measured bound.

#include <velmor/vasklinkprotocol.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/recordingcallback.h"
#include "support/recordingstreamcallback.h"
#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"

using namespace velmorsim;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;
using Milliseconds = std::chrono::milliseconds;

constexpr int kExposureUs = 1000;
constexpr int kManyMeasurements = 1000;
// A worker that notices an unplugged device or a refusal needs a few
// exchanges; a transport time-out costs 5 s, and a late reply is awaited
// for 1 s more.
constexpr Milliseconds kPromptly = 1500ms;
constexpr Milliseconds kAfterOneTimeOut = 7500ms;
// Far below the 5 s a stalled exchange would cost the others.
constexpr Milliseconds kHealthyGap = 1000ms;

template <typename Call>
Milliseconds timed(Call&& call)
{
    const auto start = Clock::now();
    call();
    return std::chrono::duration_cast<Milliseconds>(Clock::now() - start);
}

class FaultSuite : public ::testing::Test {
protected:
    void connect(int deviceCount, double timeScale = 100.0)
    {
        std::vector<SpectrometerConfig> configs;
        for (int i = 0; i < deviceCount; ++i) {
            configs.push_back(SimulatedBench::fastConfig(i));
            configs.back().timeScale = timeScale;
        }
        devices = attachAllInPoolOrder(bench, configs);
        for (const auto& device : devices) {
            handedOut.push_back(numberSpectra(*device.model));
        }
        manager->connectDevice();
        ASSERT_TRUE(poolMatches(*manager, configs));
        capture.clear();
    }

    std::string serial(size_t index) const { return devices[index].model->config().serialNumber; }
    SpectrometerModel& model(size_t index) { return *devices[index].model; }
    void unplug(size_t index) { bench.bus().unplug(devices[index].id); }

    // A closed device handle gives its interface back a little later.
    bool waitForReleasedClaims()
    {
        return waitUntil([&] {
            return std::none_of(devices.begin(), devices.end(),
                                [&](const auto& device) { return bench.bus().interfaceClaimed(device.id); });
        });
    }

    bool waitForSpectraOf(size_t index, size_t count, Milliseconds limit = 10s)
    {
        return waitUntil([&] { return callback.spectraOf(serial(index)).size() >= count; }, limit);
    }

    // Time from `from` to the first error of device `index`.
    Milliseconds errorDelay(size_t index, Clock::time_point from) const
    {
        for (const auto& error : callback.errors()) {
            if (error.serialNumber == serial(index)) {
                return std::chrono::duration_cast<Milliseconds>(error.at - from);
            }
        }
        return Milliseconds::max();
    }

    // Longest pause between two spectra of device `index` after `from`.
    Milliseconds longestGapAfter(size_t index, Clock::time_point from) const
    {
        Clock::time_point previous = from;
        Milliseconds longest{0};
        for (const auto& spectrum : callback.spectraOf(serial(index))) {
            if (spectrum.at > from) {
                longest = std::max(longest, std::chrono::duration_cast<Milliseconds>(spectrum.at - previous));
                previous = spectrum.at;
            }
        }
        return longest;
    }

    // Every spectrum a device handed out carries its own number; none may
    // reach the host twice, in single spectra or in batches.
    void expectNoDuplicates() const
    {
        for (size_t i = 0; i < devices.size(); ++i) {
            std::vector<float> numbers;
            for (const auto& spectrum : callback.spectraOf(serial(i))) {
                numbers.push_back(spectrum.values.front());
            }
            for (const auto& batch : callback.batchesOf(serial(i))) {
                const std::vector<float> inBatch = spectrumNumbers(batch.spectra);
                numbers.insert(numbers.end(), inBatch.begin(), inBatch.end());
            }
            EXPECT_EQ(std::set<float>(numbers.begin(), numbers.end()).size(), numbers.size())
                << "device " << i << " delivered a spectrum twice";
        }
    }

    size_t errorsOf(size_t index) const
    {
        const auto errors = callback.errors();
        return static_cast<size_t>(std::count_if(errors.begin(), errors.end(), [&](const auto& error) {
            return error.serialNumber == serial(index);
        }));
    }

    // The device that failed is reported once; the healthy one never is and
    // keeps delivering at its pace from `faultAt` on.
    void expectOnlyDeviceZeroFailed(Clock::time_point faultAt, Milliseconds bound)
    {
        EXPECT_EQ(errorsOf(0), 1u);
        EXPECT_EQ(errorsOf(1), 0u);
        EXPECT_LT(errorDelay(0, faultAt), bound);
        const size_t before = callback.spectraOf(serial(1)).size();
        EXPECT_TRUE(waitForSpectraOf(1, before + 5, 3s)) << "the healthy device stopped";
        EXPECT_LT(longestGapAfter(1, faultAt), kHealthyGap);
    }

    // Two devices measuring, then `fault` strikes; returns when it did.
    Clock::time_point measureThen(const std::function<void()>& fault)
    {
        connect(2);
        manager->startMeasurement(&callback, kExposureUs, 1, 0, kManyMeasurements);
        EXPECT_TRUE(waitForSpectraOf(0, 3) && waitForSpectraOf(1, 3));
        const auto faultAt = Clock::now();
        fault();
        return faultAt;
    }

    // Device 0 alone is reported, with `message`, within `bound`.
    void expectDeviceZeroReported(Clock::time_point faultAt, Milliseconds bound, const std::string& message)
    {
        ASSERT_TRUE(callback.waitForErrors(1, 10s));
        expectOnlyDeviceZeroFailed(faultAt, bound);
        EXPECT_EQ(callback.errors()[0].message, message);
    }

    // A fresh run of `count` measurements gets every spectrum of both devices.
    void expectBothMeasureAgain(int count)
    {
        callback.clear();
        manager->startMeasurement(&callback, kExposureUs, 1, 0, count);
        ASSERT_TRUE(waitForWorkers(*manager));
        EXPECT_EQ(callback.spectraOf(serial(0)).size(), static_cast<size_t>(count));
        EXPECT_EQ(callback.spectraOf(serial(1)).size(), static_cast<size_t>(count));
        EXPECT_TRUE(callback.errors().empty());
        expectNoDuplicates();
    }

    SimulatedBench bench;
    std::vector<SimulatedBench::Attached> devices;
    std::vector<std::shared_ptr<std::atomic<int>>> handedOut;
    StreamCapture capture;
    // Outlives the manager, so on every path it outlives the workers.
    RecordingCallback callback;
    std::unique_ptr<VaskLinkProtocol> manager = std::make_unique<VaskLinkProtocol>();
};

// --- unplugging -------------------------------------------------------------

TEST_F(FaultSuite, UnplugDuringConnectLeavesTheOtherDevices)
{
    devices = attachAllInPoolOrder(bench, {SimulatedBench::fastConfig(0), SimulatedBench::fastConfig(1)});
    model(1).injectFault(command::kGetSerialNumber, Fault::lateReply(3000ms));
    std::thread unplugger([&] {
        waitUntil([&] { return !model(1).requests().empty(); });
        std::this_thread::sleep_for(100ms);
        unplug(1);
    });
    EXPECT_LT(timed([&] { manager->connectDevice(); }), 2500ms);
    unplugger.join();
    EXPECT_EQ(manager->getConnectedDeviceCount(), 1u);
    EXPECT_EQ(manager->getDevice(0)->m_serialNumber, serial(0));
    EXPECT_EQ(occurrences(capture.err(), "设备 1 初始化失败: "), 1u);
}

TEST_F(FaultSuite, UnplugDuringContinuousMeasurementIsReportedAtOnce)
{
    const auto unpluggedAt = measureThen([&] { unplug(0); });
    ASSERT_TRUE(callback.waitForErrors(1, 5s));
    const size_t delivered = callback.spectraOf(serial(0)).size();
    expectOnlyDeviceZeroFailed(unpluggedAt, kPromptly);
    EXPECT_LT(timed([&] { manager->stopMeasurement(); }), kPromptly);
    EXPECT_EQ(callback.spectraOf(serial(0)).size(), delivered) << "a spectrum after the error";
    EXPECT_EQ(callback.errors()[0].message.rfind("Communication failed: ", 0), 0u) << callback.errors()[0].message;
    expectNoDuplicates();
}

TEST_F(FaultSuite, UnplugDuringBatchDeliversWhatWasCollectedThenTheError)
{
    connect(2);
    // 2 s exposures at the fast time scale: one spectrum every 20 ms.
    manager->startBatchMeasurement(&callback, 2000000, 100, 1, 0);
    ASSERT_TRUE(waitUntil([&] { return *handedOut[0] >= 5; }));
    const auto unpluggedAt = Clock::now();
    unplug(0);
    ASSERT_TRUE(callback.waitForErrors(1, 5s));
    EXPECT_LT(errorDelay(0, unpluggedAt), kPromptly);

    const auto batches = callback.batchesOf(serial(0));
    ASSERT_EQ(batches.size(), 1u) << "the collected spectra were thrown away";
    // The unplug may cut off the one reply in flight, never more.
    const int collected = static_cast<int>(batches[0].spectra.size());
    EXPECT_EQ(spectrumNumbers(batches[0].spectra), numbersFrom(1, collected));
    EXPECT_GE(collected + 1, *handedOut[0]) << "a spectrum read was lost";
    EXPECT_LE(batches[0].at, callback.errors()[0].at) << "the batch comes before the error";
    EXPECT_EQ(errorsOf(0), 1u);

    ASSERT_TRUE(callback.waitForBatches(2));
    EXPECT_EQ(spectrumNumbers(callback.batchesOf(serial(1)).at(0).spectra), numbersFrom(1, 100));
    EXPECT_EQ(errorsOf(1), 0u);
    EXPECT_LT(timed([&] { manager->stopMeasurement(); }), kPromptly);
    expectNoDuplicates();
}

TEST_F(FaultSuite, UnplugDuringDarkAcquisitionSkipsOnlyThatDevice)
{
    connect(2, 1.0);
    std::thread unplugger([&] {
        waitUntil([&] {
            const std::vector<uint32_t> codes = commandCodes(model(0).requests());
            return std::find(codes.begin(), codes.end(), command::kTakeDark) != codes.end();
        });
        std::this_thread::sleep_for(300ms);
        unplug(0);
    });
    // One second of dark exposure per device, one device after the other.
    const Milliseconds took = timed([&] { manager->takeDarkSpectrum(1000000, 1, -1); });
    unplugger.join();
    EXPECT_LT(took, 3500ms);
    EXPECT_EQ(occurrences(capture.err(), "设备 0 获取暗背景失败: "), 1u);
    EXPECT_EQ(occurrences(capture.err(), "设备 1 获取暗背景失败: "), 0u);
    EXPECT_EQ(occurrences(capture.out(), "暗背景扣除已启用"), 1u);
}

TEST_F(FaultSuite, UnplugDuringStopEndsEveryWorker)
{
    std::thread unplugger;
    measureThen([&] { unplugger = std::thread([&] { unplug(0); }); });
    EXPECT_LT(timed([&] { manager->stopMeasurement(); }), kPromptly);
    unplugger.join();
    EXPECT_EQ(VaskLinkProtocolTestPeer::threadCount(*manager), 0u);
    EXPECT_LE(errorsOf(0), 1u);
    EXPECT_EQ(errorsOf(1), 0u);
    expectNoDuplicates();
}

TEST_F(FaultSuite, ReplugThenReconnectGetsTheDeviceBackMeasuring)
{
    measureThen([&] { unplug(0); });
    ASSERT_TRUE(callback.waitForErrors(1, 5s));
    bench.bus().replug(devices[0].id);

    EXPECT_LT(timed([&] { manager->stopMeasurement(); }), kPromptly);
    manager->disconnectDevice();
    ASSERT_TRUE(waitForReleasedClaims());
    EXPECT_LT(timed([&] { manager->connectDevice(); }), 3s);
    ASSERT_EQ(manager->getConnectedDeviceCount(), 2u) << capture.err();
    expectBothMeasureAgain(3);
}

// --- misbehaving devices ----------------------------------------------------

// Waits out the transport's read time-out twice: the worker's and the stop's.
TEST_F(FaultSuite, DeviceThatStopsAnsweringIsReportedAndTheOthersKeepTheirPace)
{
    const auto silentFrom = measureThen([&] { model(0).injectFaultOnAnyCommand(Fault::noReply(), kForever); });
    expectDeviceZeroReported(silentFrom, kAfterOneTimeOut, "Communication failed: Data read failed");
    // The stop command to the silent device waits out one more time-out.
    EXPECT_LT(timed([&] { manager->stopMeasurement(); }), kAfterOneTimeOut);
    expectNoDuplicates();
}

TEST_F(FaultSuite, DeviceThatRefusesEveryCommandIsReportedWithItsErrorClass)
{
    connect(2);
    model(0).injectFaultOnAnyCommand(Fault::deviceError(0x0800), kForever);
    const auto startedAt = Clock::now();
    manager->startMeasurement(&callback, kExposureUs, 1, 0, 20);
    ASSERT_TRUE(waitForWorkers(*manager));
    EXPECT_LT(errorDelay(0, startedAt), kPromptly);
    ASSERT_EQ(callback.errors().size(), 1u);
    EXPECT_EQ(callback.errors()[0].message,
              "Communication failed: Internal error received from device. Device error (cmd:0x0001 ret:0x0800).");
    EXPECT_EQ(callback.spectraOf(serial(1)).size(), 20u);
    EXPECT_LT(longestGapAfter(1, startedAt), kHealthyGap);
    EXPECT_LT(timed([&] { manager->stopMeasurement(); }), kPromptly);
}

// Waits out the transport's read time-out once.
TEST_F(FaultSuite, ReplyThatComesLateIsReportedAndNeverAnswersALaterCommand)
{
    const auto lateFrom = measureThen([&] { model(0).injectFault(command::kGetStatus, Fault::lateReply(5500ms)); });
    expectDeviceZeroReported(lateFrom, kAfterOneTimeOut, "Communication failed: Data read failed");

    // Every later exchange gets its own reply: the device measures normally.
    manager->stopMeasurement();
    expectBothMeasureAgain(5);
}

TEST_F(FaultSuite, DeviceThatSendsGarbageIsReported)
{
    const auto garbageFrom =
        measureThen([&] { model(0).injectFault(command::kGetStatus, Fault::garbage(3), kForever); });
    expectDeviceZeroReported(garbageFrom, kPromptly, "Communication failed: Not enough bytes received from device.");
    EXPECT_LT(timed([&] { manager->stopMeasurement(); }), kPromptly);
    expectNoDuplicates();
}

// Waits for the library's idle deadline (2 s).
TEST_F(FaultSuite, DeviceThatStaysBusyIsReportedAndTheOthersKeepTheirPace)
{
    connect(2);
    model(0).setStuckBusy(StuckBusy::Now);
    const auto startedAt = Clock::now();
    manager->startMeasurement(&callback, kExposureUs, 1, 0, kManyMeasurements);
    ASSERT_TRUE(callback.waitForErrors(1, 5s));
    expectOnlyDeviceZeroFailed(startedAt, 3s);
    EXPECT_EQ(callback.errors()[0].message, "Device is not idle after stopMeasure");
    EXPECT_LT(timed([&] { manager->stopMeasurement(); }), kPromptly);
    expectNoDuplicates();
}

// The same misbehaviour while streaming: the device is reported once, its
// stream ends, and the other device's stream goes on unbroken.
TEST_F(FaultSuite, StreamingDeviceThatMisbehavesIsReportedAndTheOtherStreamGoesOn)
{
    struct Case {
        const char* name;
        std::function<void(SpectrometerModel&)> fault;
        bool fromTheStart;
        std::string messageStart;
        Milliseconds bound;
    } const cases[] = {
        {"refuses every command",
         [](SpectrometerModel& m) { m.injectFaultOnAnyCommand(Fault::deviceError(0x0800), kForever); }, false,
         "Communication failed: Internal error received from device. Device error (cmd:0x", kPromptly},
        {"stops answering", [](SpectrometerModel& m) { m.injectFaultOnAnyCommand(Fault::noReply(), kForever); },
         false, "Communication failed: Data read failed", kAfterOneTimeOut},
        {"sends garbage", [](SpectrometerModel& m) { m.injectFault(command::kGetStatus, Fault::garbage(3), kForever); },
         false, "Communication failed: Not enough bytes received from device.", kPromptly},
        {"stays busy", [](SpectrometerModel& m) { m.setStuckBusy(StuckBusy::Now); }, true,
         "Device is not idle after stopMeasure", 3s},
    };
    connect(2);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingStreamCallback streams;
        const StopOnExit stopper(*manager);
        // 100 spectra/s: a device whose stop failed fills its memory slowly.
        StreamSettings settings;
        settings.exposureTimeUs = 1000000;
        if (c.fromTheStart) {
            c.fault(model(0));
        }
        auto faultAt = Clock::now();
        manager->startStreamMeasurement(&streams, settings);
        if (!c.fromTheStart) {
            ASSERT_TRUE(streams.waitForSpectra(serial(0), 3) && streams.waitForSpectra(serial(1), 3));
            faultAt = Clock::now();
            c.fault(model(0));
        }
        ASSERT_TRUE(streams.waitForEnds(1, 10s));
        const auto reportedAfter = Clock::now() - faultAt;
        EXPECT_LT(reportedAfter, c.bound);
        const auto errors = streams.errorsOf(serial(0));
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind(c.messageStart, 0), 0u) << errors[0];
        const size_t before = streams.spectrumCount(serial(1));
        EXPECT_TRUE(streams.waitForSpectra(serial(1), before + 5, 3s)) << "the healthy stream stopped";
        EXPECT_LT(timed([&] { manager->stopMeasurement(); }), kAfterOneTimeOut);
        EXPECT_TRUE(streams.errorsOf(serial(1)).empty());
        for (size_t i = 0; i < devices.size(); ++i) {
            const auto spectra = streams.spectraOf(serial(i));
            EXPECT_EQ(sequenceProblem(spectra), "");
            std::set<float> numbers;
            for (const auto& spectrum : spectra) {
                EXPECT_TRUE(numbers.insert(spectrum.firstPixel).second) << "device " << i << " delivered twice";
            }
        }
        // The next case starts from a device that behaves, freshly connected.
        model(0).clearFaults();
        model(0).setStuckBusy(StuckBusy::Off);
        manager->disconnectDevice();
        manager->connectDevice();
        ASSERT_EQ(manager->getConnectedDeviceCount(), 2u);
    }
}

// --- stopping and destroying while workers run ------------------------------

TEST_F(FaultSuite, StopFromAnotherThreadWaitsForTheRunningCallback)
{
    connect(2);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> holding{false};
    callback.afterSpectrum = [&, released](const std::string& serialNumber) {
        if (serialNumber == serial(0) && !holding.exchange(true)) {
            released.wait();
        }
    };
    manager->startMeasurement(&callback, kExposureUs, 1, 0, kManyMeasurements);
    ASSERT_TRUE(waitUntil([&] { return holding.load(); }));

    std::atomic<bool> stopped{false};
    Clock::time_point stoppedAt;
    std::thread stopper([&] {
        manager->stopMeasurement();
        stoppedAt = Clock::now();
        stopped = true;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(stopped) << "the stop returned while a callback still ran";
    const auto releasedAt = Clock::now();
    release.set_value();
    stopper.join();
    EXPECT_LT(stoppedAt - releasedAt, kPromptly);
    const size_t delivered = callback.spectra().size();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(callback.spectra().size(), delivered) << "a spectrum after the stop returned";
    EXPECT_TRUE(callback.errors().empty());
    expectNoDuplicates();
}

TEST_F(FaultSuite, DestroyingTheManagerWhileWorkersRunEndsThemAll)
{
    const auto destroyedFrom = measureThen([&] { manager.reset(); });
    EXPECT_LT(Clock::now() - destroyedFrom, kPromptly);
    const size_t delivered = callback.spectra().size();

    ASSERT_TRUE(waitForReleasedClaims());
    manager = std::make_unique<VaskLinkProtocol>();
    manager->connectDevice();
    ASSERT_EQ(manager->getConnectedDeviceCount(), 2u);
    const int handedOutBefore = *handedOut[0];
    manager->startBatchMeasurement(&callback, 2000000, 100, 1, 0);
    ASSERT_TRUE(waitUntil([&] { return *handedOut[0] >= handedOutBefore + 2; }));
    EXPECT_LT(timed([&] { manager.reset(); }), kPromptly);
    EXPECT_EQ(callback.batches().size(), 2u) << "each batch delivered what it had before the end";

    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(callback.spectra().size(), delivered);
    EXPECT_EQ(callback.batches().size(), 2u);
    EXPECT_TRUE(callback.errors().empty());
    expectNoDuplicates();
}

TEST_F(FaultSuite, StartRightAfterStopManyTimes)
{
    connect(2);
    Milliseconds longestStop{0};
    for (int cycle = 0; cycle < 30; ++cycle) {
        if (cycle % 2 == 0) {
            manager->startMeasurement(&callback, kExposureUs, 1, 0, 5);
        } else {
            manager->startBatchMeasurement(&callback, kExposureUs, 5, 1, 0);
        }
        longestStop = std::max(longestStop, timed([&] { manager->stopMeasurement(); }));
    }
    EXPECT_LT(longestStop, kPromptly);
    EXPECT_EQ(callback.batches().size(), 30u) << "each batch run of each device ends in one delivery";

    expectNoDuplicates();
    expectBothMeasureAgain(3);
    EXPECT_EQ(occurrences(capture.err(), "Exception in"), 0u);
}

} // namespace
