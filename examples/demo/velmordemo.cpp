// Demonstrates the library on every attached spectrometer: connect,
// identify, read single spectra, measure continuously, take a dark spectrum
// and run a batch. Without hardware, run it under velmor-sim:
//   velmor-sim --devices 2 -- velmor-demo
// The library's own diagnostic lines go to a log file so that the demo's
// output stays readable.

#include <velmor/vasklinkprotocol.h>
#include <velmor/velmorhost.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <mutex>
#include <numeric>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int EXPOSURE_US = 4000;
constexpr int AVERAGING = 4;
constexpr int CONTINUOUS_COUNT = 3;
constexpr int BATCH_SIZE = 20;
const char* const LOG_FILE = "velmor-demo.log";

// Sends the library's diagnostic lines to a file for the demo's lifetime.
// The library serialises the handler's calls, so the file needs no lock.
class LibraryLogRedirect {
public:
    explicit LibraryLogRedirect(const char* path) : mFile(path)
    {
        velmor::setLogHandler([this](velmor::LogStream, const std::string& line) { mFile << line << '\n'; });
    }
    ~LibraryLogRedirect() { velmor::setLogHandler(nullptr); }

    LibraryLogRedirect(const LibraryLogRedirect&) = delete;
    LibraryLogRedirect& operator=(const LibraryLogRedirect&) = delete;

private:
    std::ofstream mFile;
};

struct Peak {
    float wavelength = 0;
    float value = 0;
};

Peak peakOf(const std::vector<float>& wavelength, const std::vector<float>& spectrum)
{
    if (spectrum.empty()) {
        return {};
    }
    const auto top = std::max_element(spectrum.begin(), spectrum.end());
    const auto index = static_cast<size_t>(top - spectrum.begin());
    return {index < wavelength.size() ? wavelength[index] : 0.0f, *top};
}

// Host wall-clock time of day, HH:MM:SS.mmm.
std::string clockTime()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    std::ostringstream text;
    text << std::put_time(&local, "%H:%M:%S") << '.' << std::setw(3) << std::setfill('0') << millis;
    return text.str();
}

float meanOf(const std::vector<float>& values)
{
    return values.empty() ? 0.0f : std::accumulate(values.begin(), values.end(), 0.0f) / values.size();
}

float minimumOf(const std::vector<float>& values)
{
    return values.empty() ? 0.0f : *std::min_element(values.begin(), values.end());
}

// Prints every delivery; counts them so the demo can wait for the batches.
class PrintingCallback : public SpectrometerCallback {
public:
    explicit PrintingCallback(std::ostream& out) : mOut(out) {}

    void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                        const std::vector<float>& spectrum) override
    {
        const Peak peak = peakOf(wavelength, spectrum);
        std::lock_guard<std::mutex> lock(mMutex);
        mOut << "  " << clockTime() << " spectrum from " << serialNumber << ": " << spectrum.size() << " pixels, peak " << std::fixed
             << std::setprecision(1) << peak.value << " counts at " << peak.wavelength << " nm, mean "
             << meanOf(spectrum) << std::endl;
        ++mSpectra;
        mChanged.notify_all();
    }

    void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                             const std::vector<std::vector<float>>& spectra) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mOut << "  batch from " << serialNumber << ": " << spectra.size() << " spectra";
        if (!spectra.empty()) {
            const Peak peak = peakOf(wavelength, spectra.back());
            mOut << ", last peak " << std::fixed << std::setprecision(1) << peak.value << " counts at "
                 << peak.wavelength << " nm";
        }
        mOut << std::endl;
        ++mBatches;
        mChanged.notify_all();
    }

    void onError(std::string serialNumber, const std::string& message) override
    {
        std::lock_guard<std::mutex> lock(mMutex);
        mOut << "  error from " << serialNumber << ": " << message << std::endl;
        ++mErrors;
        mChanged.notify_all();
    }

    void waitForSpectra(int count)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait_for(lock, std::chrono::seconds(30), [&] { return mSpectra + mErrors >= count; });
    }

    void waitForBatches(int count)
    {
        std::unique_lock<std::mutex> lock(mMutex);
        mChanged.wait_for(lock, std::chrono::seconds(60), [&] { return mBatches >= count; });
    }

private:
    std::ostream& mOut;
    std::mutex mMutex;
    std::condition_variable mChanged;
    int mSpectra = 0;
    int mBatches = 0;
    int mErrors = 0;
};

void printIdentity(std::ostream& out, VaskLinkProtocol& manager)
{
    out << "Connected spectrometers: " << manager.getConnectedDeviceCount() << std::endl;
    for (size_t i = 0; i < manager.getConnectedDeviceCount(); ++i) {
        const SpectrometerParameters parameters = manager.getDevice(static_cast<int>(i))->getParameters();
        out << "  [" << i << "] serial " << parameters.serialNumber << ", pixels " << parameters.startPixel << "-"
            << parameters.endPixel << " (" << parameters.pixelCount << ")";
        if (!parameters.wavelengths.empty()) {
            out << ", " << std::fixed << std::setprecision(1) << parameters.wavelengths.front() << " - "
                << parameters.wavelengths.back() << " nm";
        }
        out << std::endl;
    }
}

// Starts one acquisition and waits for its spectrum to be ready to read.
void acquireOne(SpectrometerDevice& device)
{
    device.startMeasure();
    while (device.getStatusInfo().availableSpectra == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void readOneSpectrumEach(std::ostream& out, VaskLinkProtocol& manager)
{
    out << "One spectrum per device, read directly:" << std::endl;
    for (size_t i = 0; i < manager.getConnectedDeviceCount(); ++i) {
        SpectrometerDevice& device = *manager.getDevice(static_cast<int>(i));
        device.setTriggerMode(TriggerMode::SOFTWARE);
        device.setExposureParams(EXPOSURE_US, AVERAGING);
        acquireOne(device);
        uint32_t time01ms = 0;
        uint32_t dateDays = 0;
        const std::vector<float> spectrum = device.getSpectrum(time01ms, dateDays);
        const Peak peak = peakOf(device.getWavelength(), spectrum);
        out << "  " << device.m_serialNumber << ": first pixels";
        for (size_t p = 0; p < 4 && p < spectrum.size(); ++p) {
            out << " " << std::fixed << std::setprecision(1) << spectrum[p];
        }
        out << ", peak " << peak.value << " counts at " << peak.wavelength << " nm, stamped day " << dateDays
            << " time " << time01ms << " (0.1 ms)" << std::endl;
    }
}

void showDarkSubtraction(std::ostream& out, VaskLinkProtocol& manager)
{
    out << "Dark spectrum on every device (" << EXPOSURE_US << " us x " << AVERAGING << "):" << std::endl;
    SpectrometerDevice& first = *manager.getDevice(0);
    acquireOne(first);
    uint32_t time01ms = 0;
    uint32_t dateDays = 0;
    const std::vector<float> before = first.getSpectrum(time01ms, dateDays);
    manager.takeDarkSpectrum(EXPOSURE_US, AVERAGING, -1);
    acquireOne(first);
    const std::vector<float> after = first.getSpectrum(time01ms, dateDays);
    out << "  " << first.m_serialNumber << ": lowest pixel " << std::fixed << std::setprecision(1)
        << minimumOf(before) << " counts before, " << minimumOf(after) << " after dark subtraction" << std::endl;
    manager.setSubtractDark(false, -1);
}

} // namespace

int main()
{
    std::ostream& console = std::cout;
    LibraryLogRedirect redirect(LOG_FILE);

    try {
        // Made before the manager, so that it outlives the workers: the
        // manager's destructor joins them, on every way out of this block.
        PrintingCallback callback(console);
        VaskLinkProtocol manager;
        manager.connectDevice();
        printIdentity(console, manager);
        if (manager.getConnectedDeviceCount() == 0) {
            console << "No spectrometer found; see " << LOG_FILE << std::endl;
            return 1;
        }
        readOneSpectrumEach(console, manager);

        console << "Continuous measurement, " << CONTINUOUS_COUNT << " spectra per device:" << std::endl;
        manager.startMeasurement(&callback, EXPOSURE_US, AVERAGING, 0, CONTINUOUS_COUNT);
        callback.waitForSpectra(CONTINUOUS_COUNT * static_cast<int>(manager.getConnectedDeviceCount()));
        manager.stopMeasurement();

        showDarkSubtraction(console, manager);

        console << "Batch of " << BATCH_SIZE << " spectra per device (started by ascending wavelength):"
                << std::endl;
        manager.startBatchMeasurement(&callback, EXPOSURE_US, BATCH_SIZE, AVERAGING, 0);
        callback.waitForBatches(static_cast<int>(manager.getConnectedDeviceCount()));
        manager.stopMeasurement();
        console << "Library log: " << LOG_FILE << std::endl;
    } catch (const std::exception& e) {
        console << "Demo failed: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
