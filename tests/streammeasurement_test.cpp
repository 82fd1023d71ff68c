// Stream measurement: every spectrum once and in order across re-arms, the
// header values and time stamps it carries, losses counted where they
// happen, stopping, unplugging and the hardware trigger.

#include <velmor/vasklinkprotocol.h>
#include <velmor/velmorhost.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/recordingstreamcallback.h"
#include "support/simulatedbench.h"
#include "support/streamcapture.h"
#include "support/testpeers.h"
#include "velmor/streammeasurement.h"

using namespace velmorsim;
using namespace std::chrono_literals;

namespace {

using Spectra = std::vector<RecordingStreamCallback::Spectrum>;

StreamSettings settingsFor(int exposureUs, uint64_t count, uint32_t spectraPerArm = 0)
{
    StreamSettings settings;
    settings.exposureTimeUs = exposureUs;
    settings.count = count;
    settings.spectraPerArm = spectraPerArm;
    return settings;
}

uint64_t missingIn(const Spectra& spectra)
{
    uint64_t missing = 0;
    for (const auto& spectrum : spectra) {
        missing += spectrum.header.missingBefore;
    }
    return missing;
}

RecordingStreamCallback::End endOf(const RecordingStreamCallback& callback, const std::string& serialNumber)
{
    for (const auto& end : callback.ends()) {
        if (end.serialNumber == serialNumber) {
            return end;
        }
    }
    return {"(no end)", 0, 0};
}

class StreamMeasurementTest : public ::testing::Test {
protected:
    void connect(const std::vector<SpectrometerConfig>& configs)
    {
        devices = attachAllInPoolOrder(bench, configs);
        manager.connectDevice();
        ASSERT_TRUE(poolMatches(manager, configs));
        capture.clear();
    }

    void connectFast(int count)
    {
        std::vector<SpectrometerConfig> configs;
        for (int i = 0; i < count; ++i) {
            configs.push_back(SimulatedBench::fastConfig(i));
        }
        connect(configs);
    }

    SpectrometerModel& model(size_t index) { return *devices[index].model; }
    std::string serial(size_t index) { return model(index).config().serialNumber; }

    SimulatedBench bench;
    std::vector<SimulatedBench::Attached> devices;
    StreamCapture capture;
    VaskLinkProtocol manager;
};

TEST(StreamPollPeriod, FollowsTheAcquisitionCycleWithinBounds)
{
    struct Case {
        int exposureUs, averaging, delayUs;
        long expectedMs;
    } const cases[] = {{10000, 1, 0, 10}, {500, 1, 0, 2}, {100000, 1, 0, 50}, {1000, 5, 2000, 7}, {-5, -1, -1, 2}};
    for (const Case& c : cases) {
        StreamSettings settings;
        settings.exposureTimeUs = c.exposureUs;
        settings.averaging = c.averaging;
        settings.delayUs = c.delayUs;
        EXPECT_EQ(StreamMeasurement::pollPeriod(settings).count(), c.expectedMs) << c.exposureUs << " x " << c.averaging;
    }
}

TEST_F(StreamMeasurementTest, EverySpectrumOnceAndInOrderAcrossRearms)
{
    connectFast(2);
    for (size_t i = 0; i < devices.size(); ++i) {
        numberSpectra(model(i));
    }
    struct Case {
        uint32_t spectraPerArm;
        uint64_t count;
        std::vector<uint32_t> arms;
    } const cases[] = {{0, 150, {150}}, {40, 150, {40, 40, 40, 30}}, {1, 3, {1, 1, 1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE("spectraPerArm " + std::to_string(c.spectraPerArm));
        for (size_t i = 0; i < devices.size(); ++i) {
            model(i).clearRequests();
        }
        RecordingStreamCallback callback;
        const StopOnExit stopper(manager);
        StreamSettings settings = settingsFor(50000, c.count, c.spectraPerArm);
        settings.averaging = 2;
        manager.startStreamMeasurement(&callback, settings);
        ASSERT_TRUE(callback.waitForEnds(devices.size()));
        for (size_t i = 0; i < devices.size(); ++i) {
            const Spectra spectra = callback.spectraOf(serial(i));
            ASSERT_EQ(spectra.size(), c.count);
            EXPECT_EQ(sequenceProblem(spectra), "");
            EXPECT_EQ(missingIn(spectra), 0u);
            size_t rearms = 0;
            for (size_t k = 0; k < spectra.size(); ++k) {
                const StreamSpectrum& header = spectra[k].header;
                EXPECT_EQ(header.deviceIndex, static_cast<int>(i));
                if (k > 0) {
                    EXPECT_EQ(spectra[k].firstPixel, spectra[k - 1].firstPixel + 1) << "spectrum " << k;
                    EXPECT_EQ(header.wavelengths, spectra[0].header.wavelengths) << "one shared table";
                }
                rearms += header.afterRearm ? 1 : 0;
                EXPECT_EQ(header.exposureTimeUs, 50000u);
                EXPECT_EQ(header.averaging, 2u);
                EXPECT_EQ(header.sensorTemperatureC, model(i).config().sensorTemperature);
                EXPECT_EQ(header.intensityUnit, 0);
                EXPECT_FALSE(header.darkSubtracted);
                EXPECT_EQ(spectra[k].pixelCount, model(i).wavelengths().size());
            }
            EXPECT_EQ(*spectra[0].header.wavelengths, model(i).wavelengths());
            EXPECT_EQ(rearms, c.arms.size() - 1);
            EXPECT_EQ(parametersOf(model(i).requests(), command::kStartMeasure), c.arms);
            const auto end = endOf(callback, serial(i));
            EXPECT_EQ(end.delivered, c.count);
            EXPECT_EQ(end.lost, 0u);
            EXPECT_EQ(model(i).state().readSpectra, model(i).state().madeSpectra) << "nothing left unread";
        }
        manager.stopMeasurement();
    }
}

TEST_F(StreamMeasurementTest, StopEndsTheStreamAndDeliversWhatWasRead)
{
    connectFast(2);
    RecordingStreamCallback callback;
    const StopOnExit stopper(manager);
    manager.startStreamMeasurement(&callback, settingsFor(100000, 0));
    ASSERT_TRUE(callback.waitForSpectra(serial(0), 20));
    ASSERT_TRUE(callback.waitForSpectra(serial(1), 20));
    manager.stopMeasurement();

    ASSERT_EQ(callback.ends().size(), 2u) << "every stream has ended when stopMeasurement returns";
    for (size_t i = 0; i < devices.size(); ++i) {
        const Spectra spectra = callback.spectraOf(serial(i));
        EXPECT_EQ(sequenceProblem(spectra), "");
        EXPECT_EQ(missingIn(spectra), 0u);
        EXPECT_EQ(endOf(callback, serial(i)).delivered, spectra.size());
        EXPECT_EQ(endOf(callback, serial(i)).lost, 0u);
        EXPECT_TRUE(callback.errorsOf(serial(i)).empty());
        EXPECT_EQ(model(i).state().status, DeviceStatus::Idle);
    }
    const size_t delivered = callback.spectrumCount(serial(0));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(callback.spectrumCount(serial(0)), delivered);
}

// The host is told how many spectra it lost and, where the device shows it,
// where: the device's memory overflowing while free running (a step in its
// time stamps), overflowing within a counted arm (found at the arm's end), or
// the host's own callback falling behind (the oldest queued are dropped).
TEST(StreamLosses, AreCountedNeverSilent)
{
    struct Case {
        const char* name;
        double timeScale;
        StreamSettings settings;
        std::function<void(SpectrometerModel&, RecordingStreamCallback&, const std::string& serial)> provoke;
        bool hideUntilArmEnds;
        bool lossesFromDevice;
        bool placedOnSpectra;
    };
    const auto slowConsumer = [] {
        StreamSettings settings = settingsFor(10000, 100);
        settings.queueCapacity = 4;
        return settings;
    }();
    const Case cases[] = {
        {"device memory overflow while free running", 1.0, settingsFor(2000, 0),
         [](SpectrometerModel& model, RecordingStreamCallback& callback, const std::string& serial) {
             ASSERT_TRUE(callback.waitForSpectra(serial, 5));
             model.injectFault(command::kGetStatus, Fault::lateReply(150ms));
             ASSERT_TRUE(waitUntil([&] { return model.state().droppedSpectra > 0; }));
             const size_t before = callback.spectrumCount(serial);
             ASSERT_TRUE(callback.waitForSpectra(serial, before + 15));
         },
         false, true, true},
        {"device memory overflow within a counted arm", 100.0, settingsFor(10000, 100),
         [](SpectrometerModel&, RecordingStreamCallback& callback, const std::string&) {
             ASSERT_TRUE(callback.waitForEnds(1));
         },
         true, true, false},
        {"a consumer slower than the device", 100.0, slowConsumer,
         [](SpectrometerModel&, RecordingStreamCallback& callback, const std::string&) {
             ASSERT_TRUE(callback.waitForEnds(1));
         },
         false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedBench caseBench;
        SpectrometerConfig config = SimulatedBench::fastConfig(0);
        config.timeScale = c.timeScale;
        // A small memory overflows soon; the slow consumer's device keeps its own.
        config.bufferCapacity = c.lossesFromDevice ? 10 : config.bufferCapacity;
        const auto attached = attachAllInPoolOrder(caseBench, {config});
        StreamCapture caseCapture;
        RecordingStreamCallback callback;
        VaskLinkProtocol caseManager;
        caseManager.connectDevice();
        if (!c.lossesFromDevice) {
            // The consumer holds its first spectrum until the reader has read
            // them all: only the queue's capacity can wait for it.
            SpectrometerModel& model = *attached[0].model;
            const uint64_t count = c.settings.count;
            callback.afterSpectrum = [&model, count](const StreamSpectrum& spectrum) {
                if (spectrum.sequence == 0) {
                    waitUntil([&] { return model.state().readSpectra >= count; });
                }
            };
        }
        // The status hides waiting spectra until the arm is done: the device
        // overflows with nobody reading.
        std::unique_ptr<StatusMask> mask;
        if (c.hideUntilArmEnds) {
            mask = std::make_unique<StatusMask>(*attached[0].model, StatusMask::Options{false, true, false});
        }
        caseManager.startStreamMeasurement(&callback, c.settings);
        c.provoke(*attached[0].model, callback, config.serialNumber);
        const uint64_t droppedBeforeStop = attached[0].model->state().droppedSpectra;
        caseManager.stopMeasurement();

        const Spectra spectra = callback.spectraOf(config.serialNumber);
        const auto end = endOf(callback, config.serialNumber);
        EXPECT_EQ(sequenceProblem(spectra), "");
        EXPECT_GT(end.lost, 0u);
        EXPECT_EQ(end.delivered, spectra.size());
        if (c.placedOnSpectra) {
            EXPECT_EQ(missingIn(spectra), end.lost);
        }
        if (c.lossesFromDevice) {
            // Free running, the device may drop more between the last read
            // and the stop command: those were never the stream's.
            EXPECT_GE(end.lost, droppedBeforeStop);
            EXPECT_LE(end.lost, attached[0].model->state().droppedSpectra);
        } else {
            EXPECT_EQ(attached[0].model->state().readSpectra, c.settings.count) << "the device was read at its pace";
            EXPECT_EQ(end.delivered + end.lost, c.settings.count);
        }
    }
}

// The device clock runs in local time and the library set it; a run across
// its midnight keeps one time line.
TEST_F(StreamMeasurementTest, TimeStampsFollowTheDeviceClockAcrossMidnight)
{
    SpectrometerConfig config = SimulatedBench::fastConfig(0);
    config.timeScale = 1.0;
    connect({config});
    constexpr uint32_t kDay = 20000;
    constexpr uint32_t kTwoHundredMsBeforeMidnight = 864000000 - 2000;
    std::vector<uint8_t> clock(8);
    for (int byte = 0; byte < 4; ++byte) {
        clock[byte] = static_cast<uint8_t>(kTwoHundredMsBeforeMidnight >> (8 * byte));
        clock[4 + byte] = static_cast<uint8_t>(kDay >> (8 * byte));
    }
    SpectrometerDeviceTestPeer::send(*manager.getDevice(0), 0x4105, clock);

    RecordingStreamCallback callback;
    const StopOnExit stopper(manager);
    const auto before = std::chrono::system_clock::now();
    manager.startStreamMeasurement(&callback, settingsFor(10000, 40));
    ASSERT_TRUE(callback.waitForEnds(1));
    const auto after = std::chrono::system_clock::now();
    const Spectra spectra = callback.spectraOf(serial(0));
    ASSERT_EQ(spectra.size(), 40u);
    EXPECT_EQ(spectra.front().header.dateDays, kDay);
    EXPECT_EQ(spectra.back().header.dateDays, kDay + 1);
    for (size_t k = 1; k < spectra.size(); ++k) {
        EXPECT_EQ(spectra[k].header.deviceTime,
                  velmor::deviceTimeToUtc(*manager.getDevice(0), spectra[k].header.dateDays, spectra[k].header.time01ms));
        const auto step = spectra[k].header.deviceTime - spectra[k - 1].header.deviceTime;
        EXPECT_GE(step, 9900us) << "spectrum " << k;
        EXPECT_LE(step, 10100us) << "spectrum " << k;
        EXPECT_EQ(spectra[k].header.missingBefore, 0u);
        EXPECT_GE(spectra[k].header.receivedAt, before);
        EXPECT_LE(spectra[k].header.receivedAt, after);
    }
}

TEST_F(StreamMeasurementTest, HardwareTriggerGivesOneSpectrumPerTriggerOnEveryDevice)
{
    connectFast(4);
    manager.setTriggerMode(TriggerMode::EXTERNAL);
    RecordingStreamCallback callback;
    const StopOnExit stopper(manager);
    const StreamSettings settings = settingsFor(10000, 0);
    manager.startStreamMeasurement(&callback, settings);
    constexpr size_t kTriggers = 3;
    for (size_t round = 0; round < kTriggers; ++round) {
        for (size_t i = 0; i < devices.size(); ++i) {
            ASSERT_TRUE(waitUntil([&] { return model(i).state().status == DeviceStatus::WaitingForTrigger; }));
        }
        for (size_t i = 0; i < devices.size(); ++i) {
            model(i).fireTrigger();
        }
        for (size_t i = 0; i < devices.size(); ++i) {
            ASSERT_TRUE(callback.waitForSpectra(serial(i), round + 1));
        }
    }
    std::this_thread::sleep_for(2 * StreamMeasurement::pollPeriod(settings));
    manager.stopMeasurement();

    for (size_t round = 0; round < kTriggers; ++round) {
        std::vector<std::chrono::system_clock::time_point> times;
        for (size_t i = 0; i < devices.size(); ++i) {
            const Spectra spectra = callback.spectraOf(serial(i));
            ASSERT_EQ(spectra.size(), kTriggers) << "one spectrum per trigger";
            EXPECT_EQ(spectra[round].header.sequence, round);
            times.push_back(spectra[round].header.deviceTime);
        }
        const auto [earliest, latest] = std::minmax_element(times.begin(), times.end());
        EXPECT_LE(*latest - *earliest, StreamMeasurement::pollPeriod(settings)) << "trigger " << round;
    }
}

TEST_F(StreamMeasurementTest, UnpluggedDeviceFailsAloneAndNothingComesTwiceAfterReplug)
{
    connectFast(2);
    RecordingStreamCallback firstRun;
    RecordingStreamCallback secondRun;
    const StopOnExit stopper(manager);
    manager.startStreamMeasurement(&firstRun, settingsFor(100000, 0));
    ASSERT_TRUE(firstRun.waitForSpectra(serial(0), 10));
    bench.bus().unplug(devices[0].id);
    ASSERT_TRUE(firstRun.waitForEnds(1));
    EXPECT_EQ(firstRun.ends()[0].serialNumber, serial(0));
    EXPECT_EQ(firstRun.errorsOf(serial(0)).size(), 1u);
    const size_t otherBefore = firstRun.spectrumCount(serial(1));
    EXPECT_TRUE(firstRun.waitForSpectra(serial(1), otherBefore + 10)) << "the other device goes on";
    manager.stopMeasurement();
    EXPECT_TRUE(firstRun.errorsOf(serial(1)).empty());

    bench.bus().replug(devices[0].id);
    manager.disconnectDevice();
    manager.connectDevice();
    ASSERT_EQ(manager.getConnectedDeviceCount(), 2u);
    manager.startStreamMeasurement(&secondRun, settingsFor(100000, 20));
    ASSERT_TRUE(secondRun.waitForEnds(2));
    std::set<std::pair<uint32_t, uint32_t>> stamps;
    for (const auto& spectrum : firstRun.spectraOf(serial(0))) {
        stamps.insert({spectrum.header.dateDays, spectrum.header.time01ms});
    }
    for (const auto& spectrum : secondRun.spectraOf(serial(0))) {
        EXPECT_TRUE(stamps.insert({spectrum.header.dateDays, spectrum.header.time01ms}).second)
            << "spectrum " << spectrum.header.sequence << " was delivered before";
    }
    EXPECT_EQ(secondRun.spectrumCount(serial(0)), 20u);
}

} // namespace
