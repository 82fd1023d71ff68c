// Stream measurement in real time: the rate each device delivers at, what
// was lost, the latency from the device finishing a spectrum (its own time
// stamp) to the callback, and the library's CPU and heap per spectrum.
// Built twice with the same code: velmor_stream_bench on velmor-sim's bus
// (real libusb and umockdev) and velmor_stream_bench_standin on the
// in-process libusb stand-in with a real bus's transfer times, so that the
// library's own scaling shows apart from the emulated transport's.
//
// Usage: velmor_stream_bench[_standin] [--devices N[,N...]] [--exposure-us U]
//                                       [--seconds S] [--compare]
//   --devices   the device counts to run, one after another (default 1)
//   --compare   before each run of N devices, run one device alone for as
//               long, and print the per-device rate of N over that of one

#include "heaptally.h"
#include "streamshelf.h"
#include "streamtally.h"

#include <velmor/logsink.h>
#include <velmor/streammeasurement.h>
#include <velmor/vasklinkprotocol.h>

#include <sys/resource.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Options {
    std::vector<int> deviceCounts{1};
    int exposureUs = 10000;
    double seconds = 10;
    bool compare = false;
};

struct RunFigures {
    int devices = 0;
    double meanRate = 0;  // spectra/s per device
    double minRate = 0;
};

std::vector<int> parseCounts(const std::string& text)
{
    std::vector<int> counts;
    std::istringstream list(text);
    for (std::string item; std::getline(list, item, ',');) {
        const int count = std::stoi(item);
        if (count < 1 || count > StreamShelf::kDevices) {
            throw std::invalid_argument("device counts go from 1 to 8");
        }
        counts.push_back(count);
    }
    return counts;
}

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--compare") {
            options.compare = true;
        } else if (i + 1 >= argc) {
            throw std::invalid_argument(option + " needs a value");
        } else if (option == "--devices") {
            options.deviceCounts = parseCounts(argv[++i]);
        } else if (option == "--exposure-us") {
            options.exposureUs = std::stoi(argv[++i]);
        } else if (option == "--seconds") {
            options.seconds = std::stod(argv[++i]);
        } else {
            throw std::invalid_argument("unknown option " + option);
        }
    }
    return options;
}

std::string loadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::chrono::nanoseconds processCpuTime()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto add = [](const timeval& time) {
        return std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
    };
    return add(usage.ru_utime) + add(usage.ru_stime);
}

// What the simulated devices and the whole process used; the difference is
// the library's (with libusb and, on velmor-sim's bus, umockdev).
struct Usage {
    std::chrono::nanoseconds processCpu{0};
    std::chrono::nanoseconds simulatorCpu{0};
    HeapUse processHeap;
    HeapUse simulatorHeap;
    std::vector<uint64_t> made;
    std::vector<std::size_t> waiting;  // in the device's memory
    std::chrono::steady_clock::time_point at;

    static Usage now(StreamShelf& shelf, int devices)
    {
        Usage usage;
        usage.at = std::chrono::steady_clock::now();
        usage.processCpu = processCpuTime();
        usage.processHeap = heapUseOfProcess();
        for (int index = 0; index < devices; ++index) {
            MeteredSpectrometer& device = shelf.device(index);
            usage.simulatorCpu += device.cpuTime();
            usage.simulatorHeap.allocations += device.heapAllocations();
            usage.simulatorHeap.bytes += device.heapBytes();
            const velmorsim::DeviceState state = device.model().state();
            usage.made.push_back(state.madeSpectra);
            usage.waiting.push_back(state.availableSpectra);
        }
        return usage;
    }
};

class StreamBench {
public:
    explicit StreamBench(const Options& options) : mOptions(options) {}

    RunFigures run(int devices)
    {
        mShelf.keep(devices);
        StreamTally tally;  // outlives the manager's workers
        VaskLinkProtocol manager;
        manager.connectDevice();
        if (manager.getConnectedDeviceCount() != static_cast<size_t>(devices)) {
            throw std::runtime_error("the manager did not connect every simulated device");
        }
        StreamSettings settings;
        settings.exposureTimeUs = mOptions.exposureUs;
        const std::string loadBefore = loadAverage();
        const Usage before = Usage::now(mShelf, devices);
        manager.startStreamMeasurement(&tally, settings);
        std::this_thread::sleep_for(std::chrono::duration<double>(mOptions.seconds));
        manager.stopMeasurement();
        const Usage after = Usage::now(mShelf, devices);
        const double wallSeconds = std::chrono::duration<double>(after.at - before.at).count();
        std::cout << "run: " << devices << " device(s), exposure " << mOptions.exposureUs << " us, "
                  << mOptions.seconds << " s, poll period " << StreamMeasurement::pollPeriod(settings).count()
                  << " ms, load average " << loadBefore << " -> " << loadAverage() << "\n";
        return report(devices, tally, before, after, wallSeconds);
    }

private:
    RunFigures report(int devices, const StreamTally& tally, const Usage& before, const Usage& after,
                      double wallSeconds)
    {
        RunFigures figures;
        figures.devices = devices;
        figures.minRate = 1e9;
        uint64_t delivered = 0;
        StreamTally::LatencyHistogram latencies{};
        const auto counted = tally.devices();
        for (int index = 0; index < devices; ++index) {
            const std::string serial = velmorsim::SpectrometerModel::defaultConfig(index).serialNumber;
            const auto found = counted.find(serial);
            if (found == counted.end()) {
                std::cout << "  " << serial << ": nothing delivered\n";
                figures.minRate = 0;
                continue;
            }
            const StreamTally::Device& device = found->second;
            const uint64_t made = after.made[static_cast<size_t>(index)] - before.made[static_cast<size_t>(index)];
            const bool accounted = made == device.delivered + device.endLost;
            const std::size_t leftInDevice = after.waiting[static_cast<size_t>(index)];
            std::cout << "  " << serial << ": " << std::fixed << std::setprecision(1) << device.rate()
                      << " spectra/s, made " << made << ", delivered " << device.delivered << ", lost "
                      << device.endLost << (accounted ? "" : " (MADE != DELIVERED + LOST)") << ", left in the device after the stop "
                      << leftInDevice << ", out of order "
                      << device.outOfOrder << ", errors " << device.errors << ", latency p50 "
                      << device.latencyMs(0.5) << " ms, p99 " << device.latencyMs(0.99) << " ms\n";
            figures.meanRate += device.rate() / devices;
            figures.minRate = std::min(figures.minRate, device.rate());
            delivered += device.delivered;
            for (size_t bucket = 0; bucket < latencies.size(); ++bucket) {
                latencies[bucket] += (*device.latencies)[bucket];
            }
        }
        const double spectra = static_cast<double>(std::max<uint64_t>(delivered, 1));
        const auto us = [](std::chrono::nanoseconds time) {
            return std::chrono::duration<double, std::micro>(time).count();
        };
        const double processUs = us(after.processCpu - before.processCpu);
        const double simulatorUs = us(after.simulatorCpu - before.simulatorCpu);
        const double heapBytes = static_cast<double>((after.processHeap.bytes - before.processHeap.bytes) -
                                                     (after.simulatorHeap.bytes - before.simulatorHeap.bytes));
        const double heapAllocations = static_cast<double>(
            (after.processHeap.allocations - before.processHeap.allocations) -
            (after.simulatorHeap.allocations - before.simulatorHeap.allocations));
        std::cout << std::fixed << std::setprecision(1) << "  all: " << figures.meanRate
                  << " spectra/s per device (lowest " << figures.minRate << "), latency p50 "
                  << StreamTally::percentileMs(latencies, delivered, 0.5) << " ms, p99 "
                  << StreamTally::percentileMs(latencies, delivered, 0.99) << " ms\n"
                  << "  per spectrum: CPU " << (processUs - simulatorUs) / spectra
                  << " us besides the simulated devices' " << simulatorUs / spectra << " us; heap "
                  << heapBytes / spectra << " bytes in " << std::setprecision(2) << heapAllocations / spectra
                  << " allocations besides the devices'\n"
                  << "  process: " << std::setprecision(0) << processUs / 1e4 / wallSeconds
                  << " % of one core (simulated devices included)" << std::endl;
        return figures;
    }

    const Options mOptions;
    StreamShelf mShelf;
};

void ignoreLine(int, const char*, void*)
{
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const Options options = parse(argc, argv);
        std::cout << "bus: " << StreamShelf::busName() << "\n";
        velmor_detail::LogSink::setHandler(&ignoreLine, nullptr);
        StreamBench bench(options);
        for (const int devices : options.deviceCounts) {
            if (!options.compare) {
                bench.run(devices);
                continue;
            }
            const RunFigures alone = bench.run(1);
            const RunFigures together = bench.run(devices);
            std::cout << std::fixed << std::setprecision(2) << "ratio " << devices << " devices: "
                      << together.meanRate / alone.meanRate << " (mean), " << together.minRate / alone.meanRate
                      << " (lowest device)" << std::endl;
        }
        velmor_detail::LogSink::setHandler(nullptr, nullptr);
        return EXIT_SUCCESS;
    } catch (const std::exception& e) {
        std::cerr << "stream bench: " << e.what() << std::endl;
        return EXIT_FAILURE;
    }
}
