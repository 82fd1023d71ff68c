#include "soakrun.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

using namespace velmorsim;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDevices = 4;
constexpr auto kLongestStopMoment = std::chrono::milliseconds(300);

std::vector<SpectrometerConfig> soakConfigs()
{
    std::vector<SpectrometerConfig> configs;
    for (int i = 0; i < kDevices; ++i) {
        configs.push_back(SimulatedBench::fastConfig(i));
    }
    return configs;
}

} // namespace

SoakRun::SoakRun(unsigned seed)
    : mDevices(attachAllInPoolOrder(mBench, soakConfigs())),
      mRandom(seed),
      mManager(std::make_unique<VaskLinkProtocol>())
{
    for (const auto& device : mDevices) {
        numberSpectra(*device.model);
    }
    mManager->connectDevice();
    if (mManager->getConnectedDeviceCount() != mDevices.size()) {
        throw std::runtime_error("not every simulated spectrometer connected");
    }
}

SoakFigures SoakRun::run(std::chrono::seconds duration, int maxCycles)
{
    // One cycle first, so that what every run needs (libusb's and the bus's
    // threads, the allocator's arenas) is there when the figures start.
    cycle();
    mFigures = SoakFigures{};
    mFigures.atStart = ProcessUsage::now();
    const auto end = Clock::now() + duration;
    while (Clock::now() < end && (maxCycles == 0 || mFigures.cycles < maxCycles)) {
        cycle();
    }
    mFigures.atEnd = ProcessUsage::now();
    mFigures.spectraDelivered = mCallback.delivered();
    mFigures.duplicates = mCallback.duplicates();
    mFigures.errorsReported = mCallback.errors();
    return mFigures;
}

void SoakRun::cycle()
{
    const bool batch = chance(2);
    const int exposureUs = between(1000, 2000000);
    if (chance(8)) {
        injectFault(static_cast<size_t>(between(0, kDevices - 1)));
    }
    if (batch) {
        mManager->startBatchMeasurement(&mCallback, exposureUs, between(1, 60), between(1, 3), 0);
        ++mFigures.batchRuns;
    } else {
        mManager->startMeasurement(&mCallback, exposureUs, between(1, 3), 0, between(1, 30));
        ++mFigures.continuousRuns;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(between(0, static_cast<int>(kLongestStopMoment.count()))));
    const bool unplug = chance(40);
    const auto unplugged = static_cast<size_t>(between(0, kDevices - 1));
    if (unplug) {
        mBench.bus().unplug(mDevices[unplugged].id);
        std::this_thread::sleep_for(std::chrono::milliseconds(between(0, 100)));
    }
    const auto stopStart = Clock::now();
    mManager->stopMeasurement();
    mFigures.longestStop = std::max(
        mFigures.longestStop, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - stopStart));
    if (unplug) {
        replugAndReconnect(unplugged);
    }
    // The simulator records every request; only the library's memory counts.
    for (const auto& device : mDevices) {
        device.model->clearRequests();
    }
    ++mFigures.cycles;
}

// Mostly faults that cost little; now and then one that waits out the
// transport's read time-out.
void SoakRun::injectFault(size_t device)
{
    SpectrometerModel& model = *mDevices[device].model;
    const int pick = between(0, 19);
    if (pick == 0) {
        model.injectFault(command::kGetStatus, Fault::noReply());
    } else if (pick == 1) {
        model.injectFault(command::kGetStatus, Fault::lateReply(std::chrono::milliseconds(5500)));
    } else if (pick < 7) {
        model.injectFault(command::kStartMeasure, Fault::deviceError(0x0700));
    } else if (pick < 12) {
        model.injectFault(command::kGetStatus, Fault::garbage(3));
    } else {
        reportBusyFor(model, 30);
    }
    ++mFigures.faultsInjected;
}

void SoakRun::replugAndReconnect(size_t device)
{
    mBench.bus().replug(mDevices[device].id);
    mManager->disconnectDevice();
    waitUntil([this] {
        return std::none_of(mDevices.begin(), mDevices.end(),
                            [this](const auto& attached) { return mBench.bus().interfaceClaimed(attached.id); });
    });
    mManager->connectDevice();
    if (mManager->getConnectedDeviceCount() != mDevices.size()) {
        throw std::runtime_error("a replugged spectrometer did not connect again");
    }
    ++mFigures.unplugs;
}

bool SoakRun::chance(int oneIn)
{
    return between(1, oneIn) == 1;
}

int SoakRun::between(int low, int high)
{
    return std::uniform_int_distribution<int>(low, high)(mRandom);
}
