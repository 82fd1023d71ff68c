#include "replycases.h"

#include <cstdint>

namespace {

namespace command = velmorsim::command;
using velmorsim::kForever;

void readSpectrumLogged(FuzzedSpectrometer& spectrometer)
{
    spectrometer.device().getSpectrum();
}

void readSpectrumStamped(FuzzedSpectrometer& spectrometer)
{
    uint32_t time01ms = 0;
    uint32_t dateDays = 0;
    spectrometer.device().getSpectrum(time01ms, dateDays);
}

void readSpectrumWithSettings(FuzzedSpectrometer& spectrometer)
{
    uint32_t time01ms = 0;
    uint32_t dateDays = 0;
    uint32_t exposureUs = 0;
    uint32_t averaging = 0;
    spectrometer.device().getSpectrum(time01ms, dateDays, exposureUs, averaging);
}

// Two spectra wait, so the input is read as two records in a row.
void readAllSpectra(FuzzedSpectrometer& spectrometer)
{
    spectrometer.device().getAllSpectrumData();
}

void softwareTrigger(FuzzedSpectrometer& spectrometer)
{
    spectrometer.device().setTriggerMode(TriggerMode::SOFTWARE);
}

void externalTrigger(FuzzedSpectrometer& spectrometer)
{
    spectrometer.device().setTriggerMode(TriggerMode::EXTERNAL);
}

void reconnect(FuzzedSpectrometer& spectrometer)
{
    spectrometer.reconnect();
}

void takeDarkSpectrum(FuzzedSpectrometer& spectrometer)
{
    spectrometer.device().takeDarkSpectrum();
}

} // namespace

const std::vector<ReplyCase>& quickReplyCases()
{
    static const std::vector<ReplyCase> cases{
        {"status", command::kGetStatus, kForever,
         [](FuzzedSpectrometer& spectrometer) { spectrometer.device().getStatusInfo(); }},
        {"trigger-mode", command::kGetTriggerConfig, kForever,
         [](FuzzedSpectrometer& spectrometer) { spectrometer.device().getTriggerMode(); }},
        {"software-trigger-status", command::kGetStatus, kForever, softwareTrigger},
        {"software-trigger-word", command::kGetTriggerConfig, kForever, softwareTrigger},
        {"external-trigger-word", command::kGetTriggerConfig, kForever, externalTrigger},
        {"spectrum-logged", command::kReadSpectrum, kForever, readSpectrumLogged, 1},
        {"spectrum-stamped", command::kReadSpectrum, kForever, readSpectrumStamped, 1},
        {"spectrum-with-settings", command::kReadSpectrum, kForever, readSpectrumWithSettings, 1},
        {"all-spectra", command::kReadSpectrum, kForever, readAllSpectra, 2},
        {"gain", command::kSetGain, kForever, [](FuzzedSpectrometer& spectrometer) { spectrometer.device().setGain(0); }},
    };
    return cases;
}

// One reply each: every initialization request is sent once, and a status
// reply that keeps saying "taking spectrum" would hold the dark spectrum for
// its whole poll limit (100 s).
const std::vector<ReplyCase>& slowReplyCases()
{
    static const std::vector<ReplyCase> cases{
        {"init-serial-number", command::kGetSerialNumber, 1, reconnect},
        {"init-start-pixel", command::kGetStartPixel, 1, reconnect},
        {"init-end-pixel", command::kGetEndPixel, 1, reconnect},
        {"init-pixel-count", command::kGetPixelCount, 1, reconnect},
        {"init-wavelength-c0", command::kGetWavelengthCoefficient0, 1, reconnect},
        {"init-wavelength-c1", command::kGetWavelengthCoefficient0 + 1, 1, reconnect},
        {"init-wavelength-c2", command::kGetWavelengthCoefficient0 + 2, 1, reconnect},
        {"init-wavelength-c3", command::kGetWavelengthCoefficient0 + 3, 1, reconnect},
        {"init-firmware-version", command::kGetFirmwareVersion, 1, reconnect},
        {"init-clock", command::kSetClock, 1, reconnect},
        {"init-gain", command::kSetGain, 1, reconnect},
        {"dark-start", command::kTakeDark, 1, takeDarkSpectrum},
        {"dark-status", command::kGetStatus, 1, takeDarkSpectrum},
        {"dark-subtract", command::kSetSubtractDark, 1, takeDarkSpectrum},
    };
    return cases;
}
