// The reference loop for the Python package's cost per spectrum: the same
// continuous measurement through the same C interface, in C++. Each
// delivered spectrum is copied once into a vector of its own, as the package
// copies it into a numpy array; library lines go to a handler that drops
// them, as the package's go to a logger nobody listens to.
//
// Usage (inside velmor-sim): velmor_spectrum_loop <spectra per device> <exposure us>
// Prints: devices=D spectra=N wall_s=W cpu_s=C

#include <velmor/velmor_c.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

namespace {

struct Delivered {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::vector<float>> spectra;
    bool failed = false;
};

void VELMOR_CALL keepSpectrum(void* user, const char*, const float*, const float* spectrum, uint32_t pixelCount)
{
    auto& delivered = *static_cast<Delivered*>(user);
    std::vector<float> copy(spectrum, spectrum + pixelCount);
    std::lock_guard<std::mutex> lock(delivered.mutex);
    delivered.spectra.push_back(std::move(copy));
    delivered.changed.notify_one();
}

void VELMOR_CALL noteFailure(void* user, const char* serial, const char* message)
{
    auto& delivered = *static_cast<Delivered*>(user);
    std::fprintf(stderr, "%s: %s\n", serial, message);
    std::lock_guard<std::mutex> lock(delivered.mutex);
    delivered.failed = true;
    delivered.changed.notify_one();
}

void VELMOR_CALL dropLine(void*, int32_t, const char*) {}

bool succeeded(int32_t status, const char* what)
{
    if (status != VELMOR_OK) {
        std::fprintf(stderr, "%s: %s\n", what, velmor_last_error());
    }
    return status == VELMOR_OK;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: velmor_spectrum_loop <spectra per device> <exposure us>\n");
        return 2;
    }
    const int32_t perDevice = std::atoi(argv[1]);
    const int32_t exposureUs = std::atoi(argv[2]);
    velmor_set_log_handler(dropLine, nullptr);
    velmor_manager* manager = nullptr;
    uint32_t devices = 0;
    if (!succeeded(velmor_create(&manager), "create") || !succeeded(velmor_connect(manager), "connect") ||
        !succeeded(velmor_device_count(manager, &devices), "count") || devices == 0) {
        velmor_destroy(manager);
        return 1;
    }
    const size_t expected = static_cast<size_t>(devices) * static_cast<size_t>(perDevice);
    Delivered delivered;
    delivered.spectra.reserve(expected);

    const auto wallStart = std::chrono::steady_clock::now();
    const std::clock_t cpuStart = std::clock();
    bool ok = succeeded(velmor_start_measurement(manager, keepSpectrum, noteFailure, &delivered, exposureUs, 1, 0,
                                                 perDevice),
                        "start");
    if (ok) {
        std::unique_lock<std::mutex> lock(delivered.mutex);
        delivered.changed.wait(lock, [&] { return delivered.failed || delivered.spectra.size() >= expected; });
        ok = !delivered.failed;
    }
    ok = succeeded(velmor_stop_measurement(manager), "stop") && ok;
    const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
    const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    velmor_destroy(manager);
    velmor_set_log_handler(nullptr, nullptr);
    std::printf("devices=%u spectra=%zu wall_s=%.6f cpu_s=%.6f\n", devices, delivered.spectra.size(), wallSeconds,
                cpuSeconds);
    return ok ? 0 : 1;
}
