#include "recording/recordcommand.h"

#include "acquisition/progressreporter.h"
#include "acquisition/spectrometersession.h"
#include "cli/commandfailure.h"
#include "cli/interruptsignal.h"
#include "output/outputcheck.h"
#include "recording/recordingfile.h"
#include "recording/recordingwriter.h"
#include "recording/streamrecorder.h"

#include "output/firmwaretext.h"

#include <velmor/velmorhost.h>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <thread>

namespace velmorcli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds PROGRESS_INTERVAL{1};
constexpr std::chrono::milliseconds POLL_INTERVAL{100};
// About 2 s of four devices at 100 spectra/s each, 16 MiB at 2048 pixels:
// room for the writer to catch up after a slow flush.
constexpr std::size_t QUEUE_CAPACITY = 1024;

const char* const COMMAND = "record";

std::string megabytes(uintmax_t bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

uintmax_t fileSize(const fs::path& path)
{
    std::error_code error;
    const uintmax_t size = fs::file_size(path, error);
    return error ? 0 : size;
}

std::vector<RecordedDevice> describeDevices(SpectrometerSession& session)
{
    std::vector<RecordedDevice> devices;
    for (int index = 0; index < session.deviceCount(); ++index) {
        const SpectrometerParameters parameters = session.parameters(index);
        RecordedDevice device;
        device.serialNumber = parameters.serialNumber;
        device.startPixel = parameters.startPixel;
        device.endPixel = parameters.endPixel;
        device.wavelengths = parameters.wavelengths;
        const SpectrometerDevice& spectrometer = *session.spectrometers().getDevice(index);
        device.firmware = firmwareText(spectrometer);
        const velmor::UsbLocation location = velmor::usbLocation(spectrometer);
        device.usbLocation = std::to_string(location.busNumber) + "/" + std::to_string(location.deviceAddress);
        devices.push_back(std::move(device));
    }
    return devices;
}

// Stops the library's streams when it goes, on every way out: their threads
// call the recorder, which goes right after.
class StreamStop {
public:
    explicit StreamStop(VaskLinkProtocol& spectrometers) : mSpectrometers(spectrometers) {}
    ~StreamStop() { mSpectrometers.stopMeasurement(); }
    StreamStop(const StreamStop&) = delete;
    StreamStop& operator=(const StreamStop&) = delete;

private:
    VaskLinkProtocol& mSpectrometers;
};

class Recording {
public:
    Recording(const Options& options, LibraryOutput& output)
        : mOptions(options), mOutput(output), mPath(options.recordFile)
    {
    }

    void run();

private:
    void waitForEnd(const StreamRecorder& recorder, const RecordingWriter& writer);
    std::string progressText(const std::vector<StreamRecorder::DeviceState>& devices, Clock::duration elapsed);
    void finish(RecordingFile& file, RecordingWriter& writer, const StreamRecorder& recorder);
    std::string flushedCounts(const RecordingWriter& writer) const;
    void finishFile(RecordingFile& file, const std::vector<StreamRecorder::DeviceState>& devices);
    void summarize(const std::vector<StreamRecorder::DeviceState>& devices, const RecordingWriter& writer) const;

    const Options& mOptions;
    LibraryOutput& mOutput;
    fs::path mPath;
    std::vector<std::string> mSerialNumbers;
    std::vector<uint64_t> mReceivedAtLastProgress;
    Clock::time_point mLastProgress;
};

void Recording::run()
{
    checkOutputFile(mPath, true);
    // A file size limit then fails the write, which is reported, instead of
    // killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    SpectrometerSession session;
    VaskLinkProtocol& spectrometers = session.spectrometers();
    mSerialNumbers = session.serialNumbers();
    const RecordingHeader header{velmor::libraryVersion(), mOptions.commandLine, std::chrono::system_clock::now()};
    RecordingFile file = [&] {
        try {
            return RecordingFile(mPath, header, describeDevices(session));
        } catch (const std::runtime_error& error) {
            throw CommandFailure(CommandFailure::FAILURE, error.what());
        }
    }();
    RecordingWriter writer(file, mSerialNumbers.size(), QUEUE_CAPACITY);
    StreamRecorder recorder(writer, mSerialNumbers);
    StreamStop streamStop(spectrometers);
    spectrometers.setTriggerMode(mOptions.triggerMode);
    StreamSettings settings;
    settings.exposureTimeUs = mOptions.exposureUs;
    settings.averaging = mOptions.averaging;
    settings.delayUs = mOptions.delayUs;
    settings.count = static_cast<uint64_t>(mOptions.count);
    spectrometers.startStreamMeasurement(&recorder, settings);
    waitForEnd(recorder, writer);
    spectrometers.stopMeasurement();
    finish(file, writer, recorder);
}

void Recording::waitForEnd(const StreamRecorder& recorder, const RecordingWriter& writer)
{
    const InterruptSignal interrupt;
    const Clock::time_point startedAt = Clock::now();
    const auto durationPassed = [&] {
        return mOptions.durationSeconds > 0 && Clock::now() - startedAt >= std::chrono::seconds(mOptions.durationSeconds);
    };
    mLastProgress = startedAt;
    mReceivedAtLastProgress.assign(mSerialNumbers.size(), 0);
    ProgressReporter reporter(mOutput.messages(), isatty(STDERR_FILENO) == 1);
    while (!writer.failed() && !interrupt.raised() && !durationPassed() && !recorder.allEnded()) {
        if (Clock::now() - mLastProgress >= PROGRESS_INTERVAL) {
            reporter.show(progressText(recorder.devices(), Clock::now() - startedAt));
        }
        std::this_thread::sleep_for(POLL_INTERVAL);
    }
    reporter.finish(progressText(recorder.devices(), Clock::now() - startedAt));
}

std::string Recording::progressText(const std::vector<StreamRecorder::DeviceState>& devices, Clock::duration elapsed)
{
    const Clock::time_point now = Clock::now();
    const double seconds = std::chrono::duration<double>(now - mLastProgress).count();
    std::string text = std::string(COMMAND) + ": ";
    uint64_t lost = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        char rate[32];
        const uint64_t news = devices[i].received - mReceivedAtLastProgress[i];
        std::snprintf(rate, sizeof rate, "%.1f/s", seconds > 0 ? static_cast<double>(news) / seconds : 0.0);
        text += (i == 0 ? "" : ", ") + mSerialNumbers[i] + " " + rate;
        mReceivedAtLastProgress[i] = devices[i].received;
        lost += devices[i].lost;
    }
    mLastProgress = now;
    const auto wholeSeconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    return text + "; " + std::to_string(lost) + " lost; " + megabytes(fileSize(mPath)) + " [" +
           std::to_string(wholeSeconds) + " s]";
}

std::string Recording::flushedCounts(const RecordingWriter& writer) const
{
    std::string counts;
    for (std::size_t i = 0; i < mSerialNumbers.size(); ++i) {
        counts += (i == 0 ? "" : ", ") + mSerialNumbers[i] + " " + std::to_string(writer.written(i)) + " spectra";
    }
    return counts;
}

// Ctrl-C, the duration and the count are all normal ends of a recording.
void Recording::finish(RecordingFile& file, RecordingWriter& writer, const StreamRecorder& recorder)
{
    const bool written = writer.drain();
    const std::vector<StreamRecorder::DeviceState> devices = recorder.devices();
    if (written || writer.fileIntact()) {
        finishFile(file, devices);
    }
    if (!written) {
        throw CommandFailure(CommandFailure::FAILURE,
                             writer.failure() + "\nthe devices were stopped; " + mPath.string() +
                                 " keeps what was written before: " + flushedCounts(writer) +
                                 (writer.fileIntact() ? ""
                                                      : "\n(it opens in HDF5's SWMR read mode; 'h5clear -s " +
                                                            mPath.string() + "' lets every HDF5 tool open it)"));
    }
    summarize(devices, writer);
    std::string failures;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        if (!devices[i].error.empty()) {
            failures += (failures.empty() ? "" : "\n") + mSerialNumbers[i] + ": " + devices[i].error;
        }
    }
    if (!failures.empty()) {
        throw CommandFailure(CommandFailure::FAILURE, failures);
    }
}

void Recording::finishFile(RecordingFile& file, const std::vector<StreamRecorder::DeviceState>& devices)
{
    std::vector<std::string> errors;
    try {
        for (std::size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].ended) {
                file.noteSpectraMade(i, devices[i].spectraMade);
            }
            errors.push_back(devices[i].error);
        }
        file.finish(std::chrono::system_clock::now(), errors);
    } catch (const std::runtime_error& error) {
        file.abandon();
        throw CommandFailure(CommandFailure::FAILURE, "finishing " + mPath.string() + " failed: " + error.what());
    }
}

void Recording::summarize(const std::vector<StreamRecorder::DeviceState>& devices,
                          const RecordingWriter& writer) const
{
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const uint64_t dropped = writer.dropped(i);
        mOutput.messages() << COMMAND << ": " << mSerialNumbers[i] << ": " << writer.written(i) << " spectra written, "
                           << devices[i].lost << " lost"
                           << (dropped > 0 ? " (" + std::to_string(dropped) + " of them waiting for the disk)" : "")
                           << std::endl;
    }
    mOutput.messages() << COMMAND << ": wrote " << mPath.string() << " (" << megabytes(fileSize(mPath)) << ")"
                       << std::endl;
}

} // namespace

void recordSpectra(const Options& options, LibraryOutput& output)
{
    Recording(options, output).run();
}

} // namespace velmorcli
