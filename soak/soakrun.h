#pragma once

#include "countingcallback.h"
#include "processusage.h"

#include "support/simulatedbench.h"

#include <velmor/vasklinkprotocol.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

struct SoakFigures {
    int cycles = 0;
    int continuousRuns = 0;
    int batchRuns = 0;
    int faultsInjected = 0;
    int unplugs = 0;
    uint64_t spectraDelivered = 0;
    uint64_t duplicates = 0;
    uint64_t errorsReported = 0;
    std::chrono::milliseconds longestStop{0};
    ProcessUsage atStart;
    ProcessUsage atEnd;
};

// Four simulated spectrometers and one manager, put through start/stop
// cycles of continuous and batch runs that are stopped at random moments,
// with faults injected now and then and a device unplugged now and then.
class SoakRun {
public:
    explicit SoakRun(unsigned seed);

    // Cycles until `duration` has passed or `maxCycles` (0: no limit) ran.
    SoakFigures run(std::chrono::seconds duration, int maxCycles);

private:
    void cycle();
    void injectFault(size_t device);
    void replugAndReconnect(size_t device);
    bool chance(int oneIn);
    int between(int low, int high);

    SimulatedBench mBench;
    std::vector<SimulatedBench::Attached> mDevices;
    std::mt19937 mRandom;
    // Declared before the manager, so it outlives the manager's workers.
    CountingCallback mCallback;
    std::unique_ptr<VaskLinkProtocol> mManager;
    SoakFigures mFigures;
};
