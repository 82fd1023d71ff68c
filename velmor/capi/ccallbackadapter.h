#pragma once

#include "velmor/spectrometercallback.h"
#include "velmor/velmor_c.h"

#include <string>
#include <vector>

// The SpectrometerCallback of one C measurement run: hands each result to
// the host's C function pointers as plain arrays, marking the worker thread
// as inside a callback of its manager meanwhile.
class CCallbackAdapter final : public SpectrometerCallback {
public:
    CCallbackAdapter(const void* owner, velmor_spectrum_callback onSpectrum, velmor_batch_callback onBatch,
                     velmor_error_callback onError, void* user);

    void onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                        const std::vector<float>& spectrum) override;
    void onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                             const std::vector<std::vector<float>>& spectra) override;
    void onError(std::string serialNumber, const std::string& message) override;

private:
    const void* mOwner;
    velmor_spectrum_callback mOnSpectrum;
    velmor_batch_callback mOnBatch;
    velmor_error_callback mOnError;
    void* mUser;
};
