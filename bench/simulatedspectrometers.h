#pragma once

#include "simulator/spectrometermodel.h"
#include "simulator/virtualusbbus.h"

#include <velmor/spectrometerdevice.h>

#include <benchmark/benchmark.h>

#include <exception>
#include <fstream>
#include <iostream>
#include <memory>
#include <utility>

// Simulated spectrometers on a virtual USB bus of this process, for one
// benchmark run. The bus needs umockdev's preload library: without it (the
// binary not started by umockdev-wrapper) the constructor throws.
class SimulatedSpectrometers {
public:
    struct Attached {
        int id;
        std::shared_ptr<velmorsim::SpectrometerModel> model;
    };

    // Simulated acquisitions run this many times faster than real time.
    static constexpr double kTimeScale = 100.0;

    // The simulator's default device `index` with `pixelCount` pixels, sped up.
    static velmorsim::SpectrometerConfig config(int index, uint16_t pixelCount = 2048);

    Attached attach(velmorsim::SpectrometerConfig config);

    // An initialized device object over an attached spectrometer.
    std::unique_ptr<SpectrometerDevice> connect(const Attached& device) const;

private:
    velmorsim::VirtualUsbBus mBus;
};

// Sends std::cout, where the library writes its progress lines, to
// /dev/null for its lifetime. The lines are still formatted and written, as
// for a host whose output goes to a file; they just stay out of the report.
// Create and destroy it while no measurement worker runs.
class DiscardedLibraryOutput {
public:
    DiscardedLibraryOutput();
    ~DiscardedLibraryOutput();

    DiscardedLibraryOutput(const DiscardedLibraryOutput&) = delete;
    DiscardedLibraryOutput& operator=(const DiscardedLibraryOutput&) = delete;

private:
    std::filebuf mDevNull;
    std::streambuf* mPrevious;
};

// Runs one benchmark against the simulator with the library's output
// discarded. A set-up that fails (no preload, a device that does not
// initialize) ends the benchmark with the error rather than the process.
template <typename Body>
void runAgainstSimulator(benchmark::State& state, Body&& body)
{
    DiscardedLibraryOutput quiet;
    try {
        std::forward<Body>(body)();
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}
