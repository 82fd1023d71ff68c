// One input scripts whole spectrometers (ScriptedSpectrometer) through a
// continuous measurement, a batch and a stream on one VaskLinkProtocol
// manager, each stopped at a moment the input picks or left to end by
// itself. The promises checked, besides no crash and no sanitizer report:
// - no spectrum is delivered twice within a run (MeasurementRecorder), and a
//   stream's sequence numbers account for every loss (StreamRecorder);
// - every worker ends, and stopMeasurement returns, within a bound of device
//   time that no input can stretch;
// - every run that ends without its result, unless stopped, reaches onError;
// - every stream ends once per device, with totals that match.

#include "devicetime.h"
#include "discardingbuffer.h"
#include "measurementrecorder.h"
#include "scriptedspectrometer.h"
#include "standinusbbus.h"
#include "streamrecorder.h"

#include <testpeers.h>

#include <velmor/vasklinkprotocol.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Bounds of device time, far above what the longest legitimate sequence of
// time-outs takes, so that only a loop the input can stretch (one exchange
// per spectrum a device claims, say) breaks them. The clock is shared: with
// two devices, the sleeps and time-outs of both workers add up.
//
// A run nobody stops: preparing a device (stand-by, stop, up to 2 s of idle
// polls, the trigger and exposure settings: about 15 exchanges, each of which
// may wait out a 5 s read time-out) and then per spectrum at most about 30 s
// (the 5 s hard limit plus a few time-outs), or for a batch its time limit
// plus a few time-outs: under 200 s a device.
constexpr auto kRunBound = std::chrono::seconds(900);
// stopMeasurement: a stop command per device, and the rest of whatever each
// worker was doing when the stop came, at most the preparation and settings
// of a run, which do not look at the stop request: under 100 s a device.
constexpr auto kStopBound = std::chrono::seconds(240);

constexpr int kMaxExposureUs = 50000;
constexpr int kMaxStopMoment = 400;  // transfers after the start

enum class RunKind { Continuous, Batch, Stream };

struct RunPlan {
    RunKind kind = RunKind::Continuous;
    int count = 1;  // spectra per device: measureCount or collections
    int exposureUs = 0;
    int averaging = 1;
    int stopAfterTransfers = 0;  // 0: the run ends by itself
};

RunPlan planRun(FuzzedDataProvider& input, RunKind kind)
{
    RunPlan plan;
    plan.kind = kind;
    plan.count = input.ConsumeIntegralInRange(1, kind == RunKind::Continuous ? 3 : 4);
    plan.exposureUs = input.ConsumeIntegralInRange(0, kMaxExposureUs);
    plan.averaging = input.ConsumeIntegralInRange(1, 3);
    // A stream under a hardware trigger waits for triggers as long as nobody
    // stops it: a stream is always stopped, unless it ends before.
    plan.stopAfterTransfers = input.ConsumeIntegralInRange(kind == RunKind::Stream ? 1 : 0, kMaxStopMoment);
    return plan;
}

void fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz_measurement: %s\n", what.c_str());
    std::abort();
}

double secondsOf(std::chrono::steady_clock::duration duration)
{
    return std::chrono::duration<double>(duration).count();
}

bool anyWorkerMeasuring(const VaskLinkProtocol& manager, std::size_t deviceCount)
{
    for (std::size_t i = 0; i < deviceCount; ++i) {
        if (VaskLinkProtocolTestPeer::measuring(manager, i)) {
            return true;
        }
    }
    return false;
}

// Until the stop moment, or until every worker ended by itself. The waiting
// thread is on device time too, so a worker that never ends shows as device
// time running past the bound.
void waitForStopMoment(const VaskLinkProtocol& manager, std::size_t deviceCount, const RunPlan& plan)
{
    const auto start = DeviceTime::now();
    const uint64_t stopAt = StandInUsbBus::instance().transferCount() + static_cast<uint64_t>(plan.stopAfterTransfers);
    while (anyWorkerMeasuring(manager, deviceCount)) {
        if (plan.stopAfterTransfers != 0 && StandInUsbBus::instance().transferCount() >= stopAt) {
            return;
        }
        if (DeviceTime::now() - start > kRunBound) {
            fail("a worker still runs after " + std::to_string(secondsOf(DeviceTime::now() - start)) +
                 " s of device time");
        }
        std::this_thread::yield();
    }
}

void stopWithinBound(VaskLinkProtocol& manager)
{
    const auto start = DeviceTime::now();
    manager.stopMeasurement();
    const auto took = DeviceTime::now() - start;
    if (took > kStopBound) {
        fail("stopMeasurement took " + std::to_string(secondsOf(took)) + " s of device time");
    }
}

bool delivered(const MeasurementRecorder::DeviceRecord& record, const RunPlan& plan)
{
    return plan.kind == RunKind::Batch ? record.batches > 0 : record.spectra >= static_cast<std::size_t>(plan.count);
}

void checkFailuresReported(const MeasurementRecorder& recorder,
                           const std::vector<std::shared_ptr<ScriptedSpectrometer>>& devices, const RunPlan& plan,
                           bool stopped)
{
    // A worker whose run fails (an exception, a device that stops answering
    // or disappears) tells the host through onError; a stopped run need not.
    if (stopped) {
        return;
    }
    for (const auto& device : devices) {
        const MeasurementRecorder::DeviceRecord record = recorder.record(device->serialNumber());
        if (!delivered(record, plan) && record.errors == 0) {
            fail("device " + device->serialNumber() + " ended its run without its result and without onError");
        }
    }
}

// Every device's stream ends once; one nobody stopped ends with its count
// made (delivered or counted lost) or with onError.
void checkStreamsEnded(const StreamRecorder& recorder, const std::vector<std::shared_ptr<ScriptedSpectrometer>>& devices,
                       const RunPlan& plan, bool stopped)
{
    for (const auto& device : devices) {
        const StreamRecorder::DeviceRecord record = recorder.record(device->serialNumber());
        if (record.ends != 1) {
            fail("device " + device->serialNumber() + " ended its stream " + std::to_string(record.ends) + " times");
        }
        const bool complete = record.spectra + record.lost >= static_cast<std::size_t>(plan.count);
        if (!stopped && !complete && record.errors == 0) {
            fail("device " + device->serialNumber() + " ended its stream short and without onError");
        }
    }
}

void run(VaskLinkProtocol& manager, MeasurementRecorder& recorder, StreamRecorder& streamRecorder,
         const std::vector<std::shared_ptr<ScriptedSpectrometer>>& devices, const RunPlan& plan)
{
    recorder.startRun();
    streamRecorder.startRun();
    switch (plan.kind) {
    case RunKind::Continuous:
        manager.startMeasurement(&recorder, plan.exposureUs, plan.averaging, 0, plan.count);
        break;
    case RunKind::Batch:
        manager.startBatchMeasurement(&recorder, plan.exposureUs, plan.count, plan.averaging, 0);
        break;
    case RunKind::Stream: {
        StreamSettings settings;
        settings.exposureTimeUs = plan.exposureUs;
        settings.averaging = plan.averaging;
        settings.count = static_cast<uint64_t>(plan.count);
        settings.queueCapacity = 2;
        manager.startStreamMeasurement(&streamRecorder, settings);
        break;
    }
    }
    const std::size_t deviceCount = manager.getConnectedDeviceCount();
    waitForStopMoment(manager, deviceCount, plan);
    const bool stopped = anyWorkerMeasuring(manager, deviceCount);
    stopWithinBound(manager);
    if (plan.kind == RunKind::Stream) {
        checkStreamsEnded(streamRecorder, devices, plan, stopped);
    } else {
        checkFailuresReported(recorder, devices, plan, stopped);
    }
}

std::vector<std::shared_ptr<ScriptedSpectrometer>> plugDevices(FuzzedDataProvider& input)
{
    const int count = input.ConsumeBool() ? 2 : 1;
    std::vector<std::shared_ptr<ScriptedSpectrometer>> devices;
    for (int i = 0; i < count; ++i) {
        const bool last = i + 1 == count;
        std::vector<uint8_t> script = last ? input.ConsumeRemainingBytes<uint8_t>()
                                           : input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<std::size_t>(
                                                 0, input.remaining_bytes()));
        auto device = std::make_shared<ScriptedSpectrometer>(std::to_string(10001 + i), std::move(script));
        device->setAddress(StandInUsbBus::instance().plug(device));
        devices.push_back(std::move(device));
    }
    return devices;
}

} // namespace

// VELMOR_FUZZ_LOG=1 keeps the library's lines, to follow a finding's replay.
extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (std::getenv("VELMOR_FUZZ_LOG") != nullptr) {
        return 0;
    }
    DiscardingBuffer::discardStandardStreams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzedDataProvider input(data, size);
    const RunPlan continuous = planRun(input, RunKind::Continuous);
    const RunPlan batch = planRun(input, RunKind::Batch);
    const RunPlan stream = planRun(input, RunKind::Stream);
    const std::vector<std::shared_ptr<ScriptedSpectrometer>> devices = plugDevices(input);
    {
        MeasurementRecorder recorder;
        StreamRecorder streamRecorder;
        VaskLinkProtocol manager;
        manager.connectDevice();
        if (manager.getConnectedDeviceCount() != devices.size()) {
            fail("a device that answers every identity request failed to connect");
        }
        run(manager, recorder, streamRecorder, devices, continuous);
        run(manager, recorder, streamRecorder, devices, batch);
        run(manager, recorder, streamRecorder, devices, stream);
    }
    StandInUsbBus::instance().unplugAll();
    return 0;
}
