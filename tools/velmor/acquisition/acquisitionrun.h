#pragma once

#include "acquisition/deviceprogress.h"
#include "acquisition/devicespectra.h"
#include "acquisition/devicewaitrule.h"
#include "acquisition/libraryoutput.h"
#include "acquisition/spectrometersession.h"
#include "acquisition/spectrumcollector.h"

#include <chrono>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace velmorcli {

class InterruptSignal;

// What differs between a continuous measurement and a batch.
struct AcquisitionPlan {
    std::string command;  // "measure" or "batch": names the progress, the files and the chart
    std::string settings; // for the chart title, e.g. "20000 µs × 2, 5 spectra per device"
    int spectraPerDevice = 0;
    bool deliveredAsBatch = false; // one callback per device brings all its spectra
    std::chrono::milliseconds deadline{0};
    // Silence after which a device is given up before the deadline.
    std::optional<std::chrono::milliseconds> stallLimit;
    std::function<void(VaskLinkProtocol&, SpectrometerCallback&)> start;
    std::string outputDirectory;
    std::string plotFile; // empty: no chart
    bool jcamp = false;   // JCAMP-DX files (the mean per device) instead of CSV
    // For the JCAMP-DX files' labelled fields.
    int exposureUs = 0;
    int averaging = 0;
    int delayUs = 0;
};

// Runs a measurement on every device of the session: starts it, shows the
// progress until every device has delivered or failed (or went silent, or a
// deadline passes, or the user interrupts), stops it, writes one CSV per
// device and the chart, and reports devices that fell short or failed.
class AcquisitionRun {
public:
    // The collector receives the library's callbacks; it must outlive the
    // session's manager.
    AcquisitionRun(SpectrometerSession& session, SpectrumCollector& collector, LibraryOutput& output,
                   AcquisitionPlan plan);

    // Throws CommandFailure when a device delivered less than planned or
    // failed, or the user interrupted; the files hold what did arrive.
    void execute();

private:
    enum class Ending { AllOver, Deadline, Interrupted };
    using Progress = std::vector<DeviceProgress>;

    Ending waitForDevices(const InterruptSignal& interrupt);
    void noteSilentDevices(const Progress& progress, std::chrono::steady_clock::time_point now);
    bool isSettled(const DeviceProgress& device) const;
    std::string progressText(const Progress& progress, std::chrono::steady_clock::duration elapsed) const;
    std::string deviceProgressText(const DeviceProgress& device, bool first) const;

    void writeFiles(const std::vector<DeviceSpectra>& results);
    void writeCsvFile(const DeviceSpectra& device);
    void writeJcampFile(const DeviceSpectra& device, int index);
    void writePlot(const std::vector<DeviceSpectra>& results);
    void reportProblems(const std::vector<DeviceSpectra>& results, Ending ending) const;
    std::string problemCause(const DeviceSpectra& device, Ending ending) const;

    SpectrometerSession& mSession;
    SpectrumCollector& mCollector;
    LibraryOutput& mOutput;
    AcquisitionPlan mPlan;
    DeviceWaitRule mWaitRule;
    std::set<std::string> mSilentDevices;
};

} // namespace velmorcli
