#include "acquisition/acquisitionrun.h"

#include "cli/commandfailure.h"
#include "output/csvwriter.h"
#include "output/firmwaretext.h"
#include "output/jcampwriter.h"
#include "output/timestamp.h"
#include "output/safename.h"
#include "cli/interruptsignal.h"
#include "acquisition/progressreporter.h"
#include "output/svgplot.h"

#include <velmor/velmorhost.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iomanip>
#include <sstream>

namespace velmorcli {
namespace {

namespace fs = std::filesystem;

constexpr std::chrono::milliseconds PROGRESS_INTERVAL{250};

std::string inSeconds(std::chrono::steady_clock::duration duration)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(1)
         << std::chrono::duration_cast<std::chrono::duration<double>>(duration).count() << " s";
    return text.str();
}

std::string spectraCount(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " spectrum" : " spectra");
}

std::string legendFor(const DeviceSpectra& device)
{
    if (device.spectra.size() == 1) {
        return device.serialNumber + " (1 spectrum)";
    }
    return device.serialNumber + " (mean of " + spectraCount(device.spectra.size()) + ")";
}

void createParentDirectories(const fs::path& file)
{
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path());
    }
}

} // namespace

AcquisitionRun::AcquisitionRun(SpectrometerSession& session, SpectrumCollector& collector, LibraryOutput& output,
                               AcquisitionPlan plan)
    : mSession(session),
      mCollector(collector),
      mOutput(output),
      mPlan(std::move(plan)),
      mWaitRule(mPlan.spectraPerDevice, mPlan.deliveredAsBatch, mPlan.stallLimit)
{
}

void AcquisitionRun::execute()
{
    VaskLinkProtocol& spectrometers = mSession.spectrometers();
    mCollector.expect(mSession.serialNumbers());
    const InterruptSignal interrupt;
    mPlan.start(spectrometers, mCollector);
    const Ending ending = waitForDevices(interrupt);
    // Joins the workers, so that what they hand over on the way out (a
    // failed batch delivers what it had, then its error) is in the results.
    spectrometers.stopMeasurement();
    const std::vector<DeviceSpectra> results = mCollector.results();
    writeFiles(results);
    if (ending == Ending::Interrupted) {
        throw CommandFailure(CommandFailure::INTERRUPTED, "interrupted; the files hold what had arrived");
    }
    reportProblems(results, ending);
}

AcquisitionRun::Ending AcquisitionRun::waitForDevices(const InterruptSignal& interrupt)
{
    const auto startedAt = std::chrono::steady_clock::now();
    const auto deadline = startedAt + mPlan.deadline;
    ProgressReporter reporter(mOutput.messages(), isatty(STDERR_FILENO) == 1);
    Progress progress = mCollector.progress();
    Ending ending = Ending::AllOver;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        noteSilentDevices(progress, now);
        if (std::all_of(progress.begin(), progress.end(), [this](const auto& device) { return isSettled(device); })) {
            break;
        }
        if (interrupt.raised() || now >= deadline) {
            ending = interrupt.raised() ? Ending::Interrupted : Ending::Deadline;
            break;
        }
        reporter.show(progressText(progress, now - startedAt));
        progress = mCollector.progressAfterNews(std::min(now + PROGRESS_INTERVAL, deadline));
    }
    reporter.finish(progressText(progress, std::chrono::steady_clock::now() - startedAt));
    return ending;
}

// The fallback for a device whose measurement ended without the library
// saying so: silence beyond the library's own limits.
void AcquisitionRun::noteSilentDevices(const Progress& progress, std::chrono::steady_clock::time_point now)
{
    for (const auto& device : progress) {
        if (mWaitRule.isSilent(device, now)) {
            mSilentDevices.insert(device.serialNumber);
        }
    }
}

bool AcquisitionRun::isSettled(const DeviceProgress& device) const
{
    return mWaitRule.isOver(device) || mSilentDevices.count(device.serialNumber) > 0;
}

std::string AcquisitionRun::progressText(const Progress& progress, std::chrono::steady_clock::duration elapsed) const
{
    std::string text = mPlan.command + ": ";
    for (std::size_t i = 0; i < progress.size(); ++i) {
        text += (i == 0 ? "" : ", ") + deviceProgressText(progress[i], i == 0);
    }
    text += " [" + inSeconds(elapsed);
    if (mPlan.deliveredAsBatch) {
        // Nothing else moves while a batch runs.
        text += " of at most " + inSeconds(mPlan.deadline);
    }
    return text + "]";
}

std::string AcquisitionRun::deviceProgressText(const DeviceProgress& device, bool first) const
{
    if (mPlan.deliveredAsBatch) {
        return device.serialNumber + (device.failed ? " failed" : mWaitRule.hasDelivered(device) ? " done" : " waiting");
    }
    std::string text = std::to_string(device.spectra) + "/" + std::to_string(mPlan.spectraPerDevice) +
                       (first ? " spectra" : "") + " from " + device.serialNumber;
    std::string notes = device.timeouts > 0 ? std::to_string(device.timeouts) + " timed out" : "";
    if (device.failed) {
        notes += (notes.empty() ? "" : ", ") + std::string("failed");
    }
    return notes.empty() ? text : text + " (" + notes + ")";
}

void AcquisitionRun::writeFiles(const std::vector<DeviceSpectra>& results)
{
    fs::create_directories(mPlan.outputDirectory);
    for (std::size_t i = 0; i < results.size(); ++i) {
        if (results[i].spectra.empty()) {
            continue;
        }
        if (mPlan.jcamp) {
            writeJcampFile(results[i], static_cast<int>(i));
        } else {
            writeCsvFile(results[i]);
        }
    }
    if (!mPlan.plotFile.empty()) {
        writePlot(results);
    }
}

void AcquisitionRun::writeCsvFile(const DeviceSpectra& device)
{
    const fs::path path =
        fs::path(mPlan.outputDirectory) / (mPlan.command + "-" + fileNameSafe(device.serialNumber) + ".csv");
    CsvWriter(device).writeFile(path);
    mOutput.messages() << mPlan.command << ": wrote " << path.string() << " (" << spectraCount(device.spectra.size())
                       << " of " << device.spectra.front().counts.size() << " pixels from " << device.serialNumber
                       << ")" << std::endl;
}

// The mean of the device's spectra, like the chart: one spectrum per device
// is what JCAMP-DX is exchanged as.
void AcquisitionRun::writeJcampFile(const DeviceSpectra& device, int index)
{
    const fs::path path =
        fs::path(mPlan.outputDirectory) / (mPlan.command + "-" + fileNameSafe(device.serialNumber) + ".jdx");
    const std::string firmware = firmwareText(*mSession.spectrometers().getDevice(index));
    JcampSpectrum spectrum;
    spectrum.title = legendFor(device);
    spectrum.origin = "velmor " + velmor::libraryVersion();
    spectrum.time = device.spectra.front().receivedAt;
    spectrum.spectrometer = "serial number " + device.serialNumber + ", firmware " + firmware;
    spectrum.wavelengths = device.wavelengths;
    spectrum.values = meanSpectrum(device);
    spectrum.privateFields = {
        {"SERIAL NUMBER", device.serialNumber},
        {"FIRMWARE", firmware},
        {"EXPOSURE TIME US", std::to_string(mPlan.exposureUs)},
        {"AVERAGING", std::to_string(mPlan.averaging)},
        {"DELAY US", std::to_string(mPlan.delayUs)},
        {"SPECTRA AVERAGED", std::to_string(device.spectra.size())},
        {"FIRST SPECTRUM LOCAL TIME", formatLocalTimestamp(device.spectra.front().receivedAt)},
        {"LAST SPECTRUM LOCAL TIME", formatLocalTimestamp(device.spectra.back().receivedAt)},
    };
    JcampWriter(spectrum).writeFile(path);
    mOutput.messages() << mPlan.command << ": wrote " << path.string() << " (mean of "
                       << spectraCount(device.spectra.size()) << " from " << device.serialNumber << ")" << std::endl;
}

void AcquisitionRun::writePlot(const std::vector<DeviceSpectra>& results)
{
    SvgPlot plot("velmor " + mPlan.command + ": " + mPlan.settings, "wavelength (nm)", "counts");
    bool hasData = false;
    for (const DeviceSpectra& device : results) {
        if (!device.spectra.empty()) {
            plot.addSeries(legendFor(device), device.wavelengths, meanSpectrum(device));
            hasData = true;
        }
    }
    if (!hasData) {
        mOutput.messages() << mPlan.command << ": no chart: no spectra arrived" << std::endl;
        return;
    }
    createParentDirectories(mPlan.plotFile);
    plot.writeFile(mPlan.plotFile);
    mOutput.messages() << mPlan.command << ": wrote chart " << mPlan.plotFile << std::endl;
}

void AcquisitionRun::reportProblems(const std::vector<DeviceSpectra>& results, Ending ending) const
{
    std::string problems;
    for (const DeviceSpectra& device : results) {
        if (device.spectra.size() < static_cast<std::size_t>(mPlan.spectraPerDevice) || !device.failure.empty()) {
            problems += (problems.empty() ? "" : "\n") + device.serialNumber + " delivered " +
                        std::to_string(device.spectra.size()) + " of " + spectraCount(mPlan.spectraPerDevice) + ": " +
                        problemCause(device, ending);
        }
    }
    if (!problems.empty()) {
        throw CommandFailure(CommandFailure::FAILURE, problems);
    }
}

std::string AcquisitionRun::problemCause(const DeviceSpectra& device, Ending ending) const
{
    const std::size_t timeouts = device.timeouts.size();
    if (!device.failure.empty()) {
        return "the library reported \"" + device.failure + "\"" +
               (timeouts > 0 ? " (after " + std::to_string(timeouts) + " timed out)" : "");
    }
    if (timeouts > 0) {
        return "the library reported \"" + device.timeouts.front() + "\"" +
               (timeouts > 1 ? " (" + std::to_string(timeouts) + " times)" : "");
    }
    if (mSilentDevices.count(device.serialNumber) > 0) {
        return "it went silent (unplugged, or its measurement failed)";
    }
    if (ending == Ending::Deadline) {
        return "the deadline of " + inSeconds(mPlan.deadline) + " passed";
    }
    return "the library ended its measurement early";
}

} // namespace velmorcli
