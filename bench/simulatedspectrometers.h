#pragma once

#include "rawusbdevice.h"

#include "simulator/spectrometermodel.h"
#include "simulator/virtualusbbus.h"

#include <velmor/libusbinterface.h>
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
    // Any device function; returns its bus id.
    int plugIn(std::shared_ptr<velmorsim::UsbFunction> function);
    void unplug(int id) { mBus.unplug(id); }
    void replug(int id) { mBus.replug(id); }

    // The library's transport to an attached spectrometer, not yet open.
    std::unique_ptr<LibusbInterface> transport(const Attached& device) const;
    // An initialized device object over an attached spectrometer.
    std::unique_ptr<SpectrometerDevice> connect(const Attached& device) const;
    // The same spectrometer opened with bare libusb; the library's
    // transport to it must be closed meanwhile.
    std::unique_ptr<RawUsbDevice> openRaw(const Attached& device) const;

private:
    velmorsim::VirtualUsbBus mBus;
};

// Sends std::cout and std::cerr, where the library writes its progress and
// error lines (batches announce each device on std::cerr), to /dev/null for
// its lifetime. The lines are still formatted and written, as for a host
// whose output goes to a file; they just stay out of the report. Create and
// destroy it while no measurement worker runs.
class DiscardedLibraryOutput {
public:
    DiscardedLibraryOutput();
    ~DiscardedLibraryOutput();

    DiscardedLibraryOutput(const DiscardedLibraryOutput&) = delete;
    DiscardedLibraryOutput& operator=(const DiscardedLibraryOutput&) = delete;

private:
    std::filebuf mDevNull;
    std::streambuf* mPreviousOut;
    std::streambuf* mPreviousErr;
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
