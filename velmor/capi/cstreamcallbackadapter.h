#pragma once

#include "velmor/streamcallback.h"
#include "velmor/velmor_c.h"

#include <cstdint>
#include <string>

// The StreamCallback of one C stream run: hands each spectrum to the host's C
// function pointer as a velmor_stream_spectrum, marking the delivery thread
// as inside a callback of its manager meanwhile.
class CStreamCallbackAdapter final : public StreamCallback {
public:
    CStreamCallbackAdapter(const void* owner, velmor_stream_callback onSpectrum, velmor_error_callback onError,
                           velmor_stream_end_callback onEnd, void* user);

    void onSpectrum(const StreamSpectrum& spectrum) override;
    void onError(const std::string& serialNumber, const std::string& message) override;
    void onStreamEnd(const std::string& serialNumber, uint64_t delivered, uint64_t lost) override;

    // The C form of `spectrum`, pointing into it: valid while it lives.
    static velmor_stream_spectrum toC(const StreamSpectrum& spectrum);

private:
    const void* mOwner;
    velmor_stream_callback mOnSpectrum;
    velmor_error_callback mOnError;
    velmor_stream_end_callback mOnEnd;
    void* mUser;
};
