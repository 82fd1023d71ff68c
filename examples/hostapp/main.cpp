// A minimal host: connect every spectrometer, take three spectra from each,
// print their peaks.
#include <velmor/vasklinkprotocol.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

class PeakPrinter : public SpectrometerCallback {
public:
    std::atomic<int> received{0};

    void onDataReceived(std::string serial, const std::vector<float>& wavelength,
                        const std::vector<float>& spectrum) override
    {
        const auto peak = std::max_element(spectrum.begin(), spectrum.end()) - spectrum.begin();
        std::clog << serial << ": peak " << spectrum[peak] << " at " << wavelength[peak] << " nm\n";
        ++received;
    }
    void onDataReceivedBanch(std::string, const std::vector<float>&, const std::vector<std::vector<float>>&) override {}
    void onError(std::string serial, const std::string& message) override { std::clog << serial << ": " << message << "\n"; }
};

int main()
{
    VaskLinkProtocol spectrometers;
    spectrometers.connectDevice();
    const int expected = 3 * static_cast<int>(spectrometers.getConnectedDeviceCount());
    if (expected == 0) {
        std::clog << "no spectrometer found\n";
        return 1;
    }
    PeakPrinter printer;
    spectrometers.startMeasurement(&printer, 10000, 1, 0, 3);
    for (int waited = 0; printer.received < expected && waited < 200; ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    spectrometers.stopMeasurement();
    return printer.received == expected ? 0 : 1;
}
