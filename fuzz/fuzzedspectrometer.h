#pragma once

#include "simulator/spectrometermodel.h"

#include <velmor/spectrometerdevice.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The reply fuzzers' spectrometer: one simulated device on the stand-in USB
// bus of this process and a device object connected to it, kept for the
// whole run. The library's waits take device time, not real time (see
// devicetime.h), and acquisitions run 100 times faster than that, so that a
// dark spectrum one input starts is over before the next input.
class FuzzedSpectrometer {
public:
    // Few pixels, so that a valid spectrum record (580 bytes) is cheap to
    // mutate; longer replies are still tried, up to the longest one read.
    static constexpr uint16_t kPixelCount = 128;

    FuzzedSpectrometer();
    ~FuzzedSpectrometer();

    FuzzedSpectrometer(const FuzzedSpectrometer&) = delete;
    FuzzedSpectrometer& operator=(const FuzzedSpectrometer&) = delete;

    velmorsim::SpectrometerModel& model() { return *mModel; }
    SpectrometerDevice& device() { return *mDevice; }

    // Drops the device object and initializes a new one over the same
    // device. When that throws, there is no device object until
    // ensureConnected().
    void reconnect();
    void ensureConnected();

private:
    std::unique_ptr<SpectrometerDevice> connect() const;

    std::shared_ptr<velmorsim::SpectrometerModel> mModel;
    uint8_t mAddress;
    std::unique_ptr<SpectrometerDevice> mDevice;
};

// An operation of the library that gets the fuzzer's input as its reply to
// one command.
struct ReplyCase {
    const char* name;     // also the name of its seed file
    uint32_t command;     // the command whose reply is replaced
    std::size_t replies;  // how many of its replies (velmorsim::kForever: all) during the operation
    void (*run)(FuzzedSpectrometer&);
    // Spectra the device says are waiting. While fuzzing, the status says so
    // and no spectrum is synthesized (the input replaces each record anyway);
    // fuzz_seeds puts real ones in the buffer.
    uint16_t spectraWaiting = 0;
};

// Sets the process up for the spectrometer, with the library's progress
// lines discarded so that they do not drown libFuzzer's. Then builds the
// spectrometer.
void prepareFuzzedSpectrometer();

// The process's spectrometer, built on first use.
FuzzedSpectrometer& fuzzedSpectrometer();

// One fuzz input: its first byte picks the case, the rest is the reply, cut
// to the longest reply the library reads at once (one read never returns
// more, and a longer reply would spill into the next exchange).
void runReplyCase(const std::vector<ReplyCase>& cases, const uint8_t* data, std::size_t size);
