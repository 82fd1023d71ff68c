// Stream soak: four simulated spectrometers in real time, each making 100
// spectra a second (10 ms exposure), streamed without a pause. Fails when
// the devices made a spectrum that was neither delivered nor reported lost,
// when one was lost although the consumer keeps up, when one came twice or
// out of order, or when memory, descriptors or threads grew while streaming
// or stayed behind after the stop.
//
// Usage: velmor_stream_soak [--seconds N]   (default 600)

#include "processusage.h"
#include "streamtally.h"

#include "support/simulatedbench.h"
#include "support/umockdevpreload.h"

#include <velmor/logsink.h>
#include <velmor/vasklinkprotocol.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMOR_STREAM_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELMOR_STREAM_SOAK_SANITIZED 1
#endif
#endif

namespace {

#ifdef VELMOR_STREAM_SOAK_SANITIZED
// The sanitizers' quarantine and shadow memory grow on their own.
constexpr bool kResidentMemoryCounts = false;
#else
constexpr bool kResidentMemoryCounts = true;
#endif

constexpr int kDevices = 4;
constexpr int kExposureUs = 10000;
constexpr auto kWarmUp = std::chrono::seconds(2);
constexpr auto kRequestRecordSpan = std::chrono::seconds(1);
// The delivery queues (256 spectra of 8 KiB per device) may fill and empty.
constexpr long kResidentMarginKiB = 16 * 1024;
constexpr int kDescriptorMargin = 2;

long parseSeconds(int argc, char** argv)
{
    if (argc == 1) {
        return 600;
    }
    if (argc == 3 && std::strcmp(argv[1], "--seconds") == 0) {
        return std::strtol(argv[2], nullptr, 10);
    }
    throw std::invalid_argument("usage: velmor_stream_soak [--seconds N]");
}

void ignoreLine(int, const char*, void*)
{
}

uint64_t total(const std::vector<uint64_t>& counts)
{
    return std::accumulate(counts.begin(), counts.end(), uint64_t{0});
}

bool check(bool holds, const std::string& what)
{
    if (!holds) {
        std::cout << "stream soak: FAILED: " << what << std::endl;
    }
    return holds;
}

class StreamSoak {
public:
    StreamSoak()
    {
        std::vector<velmorsim::SpectrometerConfig> configs;
        for (int i = 0; i < kDevices; ++i) {
            velmorsim::SpectrometerConfig config = velmorsim::SpectrometerModel::defaultConfig(i);
            config.timeScale = 1.0;
            configs.push_back(config);
        }
        mDevices = attachAllInPoolOrder(mBench, configs);
        mManager.connectDevice();
        if (mManager.getConnectedDeviceCount() != mDevices.size()) {
            throw std::runtime_error("not every simulated spectrometer connected");
        }
    }

    int run(std::chrono::seconds duration)
    {
        // A short stream first, so that what every stream needs (libusb's
        // and the bus's threads, the allocator's arenas) is there already.
        stream(kWarmUp);
        mTally.clear();
        const ProcessUsage before = ProcessUsage::now();
        const std::vector<uint64_t> madeBefore = made();
        mManager.startStreamMeasurement(&mTally, settings());
        streamFor(duration / 4);
        const ProcessUsage early = ProcessUsage::now();
        const std::vector<uint64_t> backlogEarly = waiting();
        streamFor(duration - duration / 4);
        const ProcessUsage late = ProcessUsage::now();
        const std::vector<uint64_t> backlogLate = waiting();
        mManager.stopMeasurement();
        const ProcessUsage after = ProcessUsage::now();
        const std::vector<uint64_t> madeAfter = made();
        const std::vector<uint64_t> leftAfter = waiting();

        std::cout << "stream soak: " << kDevices << " devices at " << 1000000 / kExposureUs << " spectra/s for "
                  << duration.count() << " s\n"
                  << "stream soak: before " << before.describe() << "\n"
                  << "stream soak: 1/4 in " << early.describe() << ", in the devices' memories "
                  << total(backlogEarly) << " spectra\n"
                  << "stream soak: at end " << late.describe() << ", in the devices' memories "
                  << total(backlogLate) << " spectra\n"
                  << "stream soak: after  " << after.describe() << std::endl;
        bool passed = true;
        const auto counted = mTally.devices();
        for (int i = 0; i < kDevices; ++i) {
            passed &= checkDevice(counted, i, madeAfter[i] - madeBefore[i], leftAfter[i]);
        }
        passed &= check(!kResidentMemoryCounts || late.residentKiB <= early.residentKiB + kResidentMarginKiB,
                        "resident memory grew while streaming");
        passed &= check(late.openDescriptors == early.openDescriptors && late.threads == early.threads,
                        "descriptors or threads grew while streaming");
        passed &= check(after.openDescriptors <= before.openDescriptors + kDescriptorMargin &&
                            after.threads <= before.threads,
                        "descriptors or threads were left after the stop");
        return passed ? EXIT_SUCCESS : EXIT_FAILURE;
    }

private:
    static StreamSettings settings()
    {
        StreamSettings settings;
        settings.exposureTimeUs = kExposureUs;
        return settings;
    }

    void stream(std::chrono::seconds duration)
    {
        mManager.startStreamMeasurement(&mTally, settings());
        streamFor(duration);
        mManager.stopMeasurement();
    }

    // The simulator records every request it receives; only the library's
    // memory counts, so the record is dropped as the stream goes on.
    void streamFor(std::chrono::steady_clock::duration duration)
    {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
                kRequestRecordSpan, end - std::chrono::steady_clock::now()));
            for (const auto& device : mDevices) {
                device.model->clearRequests();
            }
        }
    }

    std::vector<uint64_t> made()
    {
        return perDevice([](const velmorsim::DeviceState& state) { return state.madeSpectra; });
    }

    // Spectra still in the device's memory.
    std::vector<uint64_t> waiting()
    {
        return perDevice([](const velmorsim::DeviceState& state) { return uint64_t{state.availableSpectra}; });
    }

    template <typename Count>
    std::vector<uint64_t> perDevice(Count count)
    {
        std::vector<uint64_t> counts;
        for (const auto& device : mDevices) {
            counts.push_back(count(device.model->state()));
        }
        return counts;
    }

    static bool checkDevice(const std::map<std::string, StreamTally::Device>& counted, int index, uint64_t made,
                            uint64_t leftInDevice)
    {
        const std::string serial = velmorsim::SpectrometerModel::defaultConfig(index).serialNumber;
        const auto found = counted.find(serial);
        if (!check(found != counted.end(), "nothing came from " + serial)) {
            return false;
        }
        const StreamTally::Device& device = found->second;
        std::cout << "stream soak: " << serial << ": made " << made << ", delivered " << device.delivered
                  << ", reported lost " << device.missingReported << " (at the end " << device.endLost
                  << "), left in the device after the stop " << leftInDevice << ", out of order "
                  << device.outOfOrder << ", errors " << device.errors << ", " << device.rate()
                  << " spectra/s, latency p50 " << device.latencyMs(0.5) << " ms, p99 " << device.latencyMs(0.99)
                  << " ms" << std::endl;
        bool passed = check(device.ended && device.endDelivered == device.delivered, serial + ": end totals differ");
        passed &= check(made == device.delivered + device.endLost, serial + ": made != delivered + reported lost");
        passed &= check(device.endLost == 0 && device.missingReported == 0, serial + ": spectra were lost");
        passed &= check(device.outOfOrder == 0, serial + ": a spectrum came twice or out of order");
        passed &= check(device.errors == 0, serial + ": the stream reported an error");
        return passed;
    }

    SimulatedBench mBench;
    std::vector<SimulatedBench::Attached> mDevices;
    // Declared before the manager, so it outlives the manager's workers.
    StreamTally mTally;
    VaskLinkProtocol mManager;
};

} // namespace

int main(int argc, char** argv)
{
    restartUnderUmockdevUnlessPreloaded(argc, argv);
    try {
        const long seconds = parseSeconds(argc, argv);
        velmor_detail::LogSink::setHandler(&ignoreLine, nullptr);
        const int result = StreamSoak().run(std::chrono::seconds(seconds));
        velmor_detail::LogSink::setHandler(nullptr, nullptr);
        return result;
    } catch (const std::exception& e) {
        std::cerr << "stream soak: " << e.what() << std::endl;
        return EXIT_FAILURE;
    }
}
