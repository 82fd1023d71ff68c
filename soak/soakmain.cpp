// Soak test: four simulated spectrometers, hundreds of start/stop cycles of
// continuous and batch runs stopped at random moments, with injected faults
// and unplugged devices. Fails when a spectrum arrives twice, a stop takes
// too long, or the process ends holding more than it started with.
//
// Usage: velmor_soak [--seconds N] [--cycles N] [--seed N]
//   --seconds  stop cycling after N seconds (default 60)
//   --cycles   stop after N cycles (default: no limit)

#include "soakrun.h"

#include "support/umockdevpreload.h"

#include <velmor/logsink.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELMOR_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELMOR_SOAK_SANITIZED 1
#endif
#endif

namespace {

#ifdef VELMOR_SOAK_SANITIZED
// AddressSanitizer holds freed memory in quarantine and ThreadSanitizer
// grows its shadow memory and access history, so resident memory says
// nothing there; the plain build's soak and ASan's leak check at exit do
// that job instead.
constexpr bool kResidentMemoryCounts = false;
#else
constexpr bool kResidentMemoryCounts = true;
#endif

// A stop waits at most for one transport time-out of a silent device (5 s),
// the wait for its late reply (1 s) and the worker's current exchange.
constexpr auto kStopBound = std::chrono::seconds(13);
constexpr long kResidentMarginKiB = 32 * 1024;
constexpr int kDescriptorMargin = 2;
constexpr int kThreadMargin = 1;

struct Options {
    long seconds = 60;
    long cycles = 0;
    unsigned seed = 1;
};

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--seconds") == 0) {
            options.seconds = value;
        } else if (std::strcmp(argv[i], "--cycles") == 0) {
            options.cycles = value;
        } else if (std::strcmp(argv[i], "--seed") == 0) {
            options.seed = static_cast<unsigned>(value);
        } else {
            throw std::invalid_argument(std::string("unknown option ") + argv[i]);
        }
    }
    if (argc % 2 == 0) {
        throw std::invalid_argument("every option takes a value");
    }
    return options;
}

// The library's lines are only counted: hundreds of cycles write megabytes.
std::atomic<long> gErrorLines{0};

void countLine(int stream, const char*, void*)
{
    if (stream == velmor_detail::LogSink::ERROR_LINE) {
        ++gErrorLines;
    }
}

bool check(bool holds, const char* what)
{
    if (!holds) {
        std::cout << "soak: FAILED: " << what << std::endl;
    }
    return holds;
}

int report(const SoakFigures& figures)
{
    std::cout << "soak: cycles " << figures.cycles << " (continuous " << figures.continuousRuns << ", batch "
              << figures.batchRuns << "), faults injected " << figures.faultsInjected << ", unplugs "
              << figures.unplugs << "\n"
              << "soak: spectra delivered " << figures.spectraDelivered << ", duplicates " << figures.duplicates
              << ", errors reported " << figures.errorsReported << ", library error lines " << gErrorLines << "\n"
              << "soak: longest stop " << figures.longestStop.count() << " ms\n"
              << "soak: at start " << figures.atStart.describe() << "\n"
              << "soak: at end   " << figures.atEnd.describe() << std::endl;
    bool passed = check(figures.duplicates == 0, "a spectrum was delivered twice");
    passed &= check(figures.spectraDelivered > 0, "no spectrum was delivered");
    passed &= check(figures.longestStop < kStopBound, "a stop took too long");
    passed &= check(!kResidentMemoryCounts ||
                        figures.atEnd.residentKiB <= figures.atStart.residentKiB + kResidentMarginKiB,
                    "resident memory grew");
    passed &= check(figures.atEnd.openDescriptors <= figures.atStart.openDescriptors + kDescriptorMargin,
                    "descriptors were left open");
    passed &= check(figures.atEnd.threads <= figures.atStart.threads + kThreadMargin, "threads were left running");
    return passed ? EXIT_SUCCESS : EXIT_FAILURE;
}

} // namespace

int main(int argc, char** argv)
{
    restartUnderUmockdevUnlessPreloaded(argc, argv);
    try {
        const Options options = parse(argc, argv);
        velmor_detail::LogSink::setHandler(&countLine, nullptr);
        const SoakFigures figures =
            SoakRun(options.seed).run(std::chrono::seconds(options.seconds), static_cast<int>(options.cycles));
        velmor_detail::LogSink::setHandler(nullptr, nullptr);
        return report(figures);
    } catch (const std::exception& e) {
        std::cerr << "soak: " << e.what() << std::endl;
        return EXIT_FAILURE;
    }
}
