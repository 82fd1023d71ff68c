#pragma once

#include "simulator/spectrometermodel.h"
#include "simulator/virtualusbbus.h"

#include <velmor/libusbinterface.h>
#include <velmor/spectrometerdevice.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A virtual USB bus with simulated spectrometers on it, for one test.
class SimulatedBench {
public:
    struct Attached {
        int id;
        std::shared_ptr<velmorsim::SpectrometerModel> model;
    };

    // A fast configuration for tests: simulated time runs 100 times faster.
    static velmorsim::SpectrometerConfig fastConfig(int index = 0);

    Attached attach(velmorsim::SpectrometerConfig config = fastConfig(), velmorsim::UsbDeviceOptions options = {});

    // A transport for an attached device, not yet opened.
    std::unique_ptr<LibusbInterface> transport(const Attached& device) const;

    // A fully initialized device object over an attached device.
    std::unique_ptr<SpectrometerDevice> connect(const Attached& device) const;

    velmorsim::VirtualUsbBus& bus() { return mBus; }

private:
    velmorsim::VirtualUsbBus mBus;
};

// Request frames as hex text ("01 20 00 00"), so failures show readably.
std::string hexFrame(const std::vector<uint8_t>& frame);
std::vector<std::string> hexFrames(const std::vector<std::vector<uint8_t>>& frames);

// The command code of every request, in order.
std::vector<uint32_t> commandCodes(const std::vector<std::vector<uint8_t>>& frames);

// The text of the std::runtime_error that `call` throws, or "(no exception)".
// Other exception types pass through and fail the test.
template <typename Call>
std::string failureText(Call&& call)
{
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no exception)";
}

// Polls `condition` until it holds; false if it still does not after
// `limit`, which only keeps a broken device from hanging the suite.
bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10));

// ---------------------------------------------------------------------------
// Manager-level helpers

class VaskLinkProtocol;

// Attaches one device per configuration so that enumeration, and so a
// manager's pool, lists them in this order: libusb lists a bus from its
// highest address down. Returns the models in that order.
std::vector<std::shared_ptr<velmorsim::SpectrometerModel>> attachInPoolOrder(
    SimulatedBench& bench, const std::vector<velmorsim::SpectrometerConfig>& configs);
// The same, with the bus ids for unplugging and replugging.
std::vector<SimulatedBench::Attached> attachAllInPoolOrder(SimulatedBench& bench,
                                                           const std::vector<velmorsim::SpectrometerConfig>& configs);

// Waits until no worker of `manager` owns a device any more.
bool waitForWorkers(const VaskLinkProtocol& manager, std::chrono::milliseconds limit = std::chrono::seconds(10));

// The parameter word of every request with this command code, in order.
std::vector<uint32_t> parametersOf(const std::vector<std::vector<uint8_t>>& frames, uint32_t code);

// How often `needle` occurs in `text`.
std::size_t occurrences(const std::string& text, const std::string& needle);

// The capture groups (group 0 is the whole line) of every line of `text`
// that matches `pattern` completely.
std::vector<std::vector<std::string>> linesMatching(const std::string& text, const std::string& pattern);

// The what() text of the `Exception` that `call` throws, or "(no exception)".
template <typename Exception, typename Call>
std::string thrownText(Call&& call)
{
    try {
        call();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(no exception)";
}

// Numbers the spectrum records the device hands out from now on: the first
// pixel of the n-th record (drained ones included) becomes n. Returns the
// count handed out so far.
std::shared_ptr<std::atomic<int>> numberSpectra(velmorsim::SpectrometerModel& model);

// The first pixel of each spectrum, which numberSpectra() set.
std::vector<float> spectrumNumbers(const std::vector<std::vector<float>>& spectra);

// first, first + 1, ... (count values), to compare with spectrumNumbers().
std::vector<float> numbersFrom(int first, int count);

// The device's next `count` status replies say it is taking a spectrum:
// a worker that waits for it to become idle starts that much later.
void reportBusyFor(velmorsim::SpectrometerModel& model, std::size_t count);

// ---------------------------------------------------------------------------
// Device-level helpers

// A device object over `device`, with its initialization log swallowed and
// the initialization's requests forgotten by the model.
std::unique_ptr<SpectrometerDevice> connectQuietly(const SimulatedBench& bench, const SimulatedBench::Attached& device);

// The requests the model received since the last call, as hex text; the
// model forgets them.
std::vector<std::string> takeFrames(velmorsim::SpectrometerModel& model);

// True when the manager's pool holds the devices of `configs`, in this order.
bool poolMatches(VaskLinkProtocol& manager, const std::vector<velmorsim::SpectrometerConfig>& configs);

// From the device's next start command on, changes what its status replies
// tell the host, while the device itself goes on working: with `busy` they
// say it is taking a spectrum, with `hideSpectra` that none is waiting.
// This lasts until release() or, with `untilStop`, until the device's stop
// command plus one more status read.
class StatusMask {
public:
    struct Options {
        bool busy = false;
        bool hideSpectra = false;
        bool untilStop = false;
    };

    StatusMask(velmorsim::SpectrometerModel& model, Options options);

    bool started() const { return mState->started; }
    void release() { mState->released = true; }

private:
    struct State {
        std::atomic<bool> started{false};
        std::atomic<bool> stopped{false};
        std::atomic<bool> released{false};
        std::atomic<int> readsAfterStop{0};
    };
    std::shared_ptr<State> mState;
};
