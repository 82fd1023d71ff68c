#include "acquisition/devicespectra.h"

#include <algorithm>

namespace velmorcli {

std::vector<float> meanSpectrum(const DeviceSpectra& device)
{
    std::vector<double> sums;
    std::vector<int> counts;
    for (const ReceivedSpectrum& spectrum : device.spectra) {
        sums.resize(std::max(sums.size(), spectrum.counts.size()), 0.0);
        counts.resize(sums.size(), 0);
        for (std::size_t pixel = 0; pixel < spectrum.counts.size(); ++pixel) {
            sums[pixel] += spectrum.counts[pixel];
            ++counts[pixel];
        }
    }
    std::vector<float> mean(sums.size());
    for (std::size_t pixel = 0; pixel < sums.size(); ++pixel) {
        mean[pixel] = static_cast<float>(sums[pixel] / counts[pixel]);
    }
    return mean;
}

} // namespace velmorcli
