#include "ccallbackadapter.h"

#include "ccallbackscope.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace {

// The C callbacks promise that every spectrum has as many values as the
// wavelength table. The device layer delivers them that way; a stray length
// is evened out here (cut, or filled with NaN) rather than read past.
std::vector<float> flattened(const std::vector<std::vector<float>>& spectra, size_t pixelCount)
{
    std::vector<float> block(spectra.size() * pixelCount, std::numeric_limits<float>::quiet_NaN());
    for (size_t k = 0; k < spectra.size(); ++k) {
        std::copy_n(spectra[k].begin(), std::min(spectra[k].size(), pixelCount), block.begin() + k * pixelCount);
    }
    return block;
}

} // namespace

CCallbackAdapter::CCallbackAdapter(const void* owner, velmor_spectrum_callback onSpectrum,
                                   velmor_batch_callback onBatch, velmor_error_callback onError, void* user)
    : mOwner(owner), mOnSpectrum(onSpectrum), mOnBatch(onBatch), mOnError(onError), mUser(user)
{
}

void CCallbackAdapter::onDataReceived(std::string serialNumber, const std::vector<float>& wavelength,
                                      const std::vector<float>& spectrum)
{
    if (mOnSpectrum == nullptr) {
        return;
    }
    const bool evenLength = spectrum.size() == wavelength.size();
    const std::vector<float> evened = evenLength ? std::vector<float>() : flattened({spectrum}, wavelength.size());
    CCallbackScope scope(mOwner);
    mOnSpectrum(mUser, serialNumber.c_str(), wavelength.data(), evenLength ? spectrum.data() : evened.data(),
                static_cast<uint32_t>(wavelength.size()));
}

void CCallbackAdapter::onDataReceivedBanch(std::string serialNumber, const std::vector<float>& wavelength,
                                           const std::vector<std::vector<float>>& spectra)
{
    if (mOnBatch == nullptr) {
        return;
    }
    const std::vector<float> block = flattened(spectra, wavelength.size());
    CCallbackScope scope(mOwner);
    mOnBatch(mUser, serialNumber.c_str(), wavelength.data(), static_cast<uint32_t>(wavelength.size()), block.data(),
             static_cast<uint32_t>(spectra.size()));
}

void CCallbackAdapter::onError(std::string serialNumber, const std::string& message)
{
    if (mOnError == nullptr) {
        return;
    }
    CCallbackScope scope(mOwner);
    mOnError(mUser, serialNumber.c_str(), message.c_str());
}
