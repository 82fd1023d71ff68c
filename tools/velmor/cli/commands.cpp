#include "cli/commands.h"

#include "acquisition/acquisitionrun.h"
#include "cli/commandfailure.h"
#include "acquisition/spectrometersession.h"
#include "acquisition/spectrumcollector.h"
#include "output/outputcheck.h"
#include "output/texttable.h"
#include "recording/recordcommand.h"
#include "acquisition/timebudget.h"
#include "view/viewcommand.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace velmorcli {
namespace {

std::string oneDecimal(float value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(value));
    return text;
}

std::string usbLocation(const std::optional<ConnectionDetails>& connection)
{
    return connection ? std::to_string(connection->bus) + "/" + std::to_string(connection->address) : "?";
}

std::string firmware(const std::optional<ConnectionDetails>& connection)
{
    return connection && !connection->firmware.empty() ? connection->firmware : "?";
}

std::string pixelRange(const SpectrometerParameters& parameters)
{
    return std::to_string(parameters.startPixel) + "-" + std::to_string(parameters.endPixel) + " (" +
           std::to_string(parameters.pixelCount) + ")";
}

std::string wavelengthRange(const SpectrometerParameters& parameters)
{
    if (parameters.wavelengths.empty()) {
        return "-";
    }
    return oneDecimal(parameters.wavelengths.front()) + "-" + oneDecimal(parameters.wavelengths.back());
}

void listDevices(LibraryOutput& output)
{
    SpectrometerSession session;
    TextTable table({"index", "serial", "bus/address", "pixels (count)", "wavelength nm", "firmware"});
    for (int index = 0; index < session.deviceCount(); ++index) {
        const SpectrometerParameters parameters = session.parameters(index);
        const auto connection = session.connectionDetails(index);
        table.addRow({std::to_string(index), parameters.serialNumber, usbLocation(connection), pixelRange(parameters),
                      wavelengthRange(parameters), firmware(connection)});
    }
    table.write(output.console());
}

std::string exposureSettings(const Options& options)
{
    return std::to_string(options.exposureUs) + " µs exposure, averaging " + std::to_string(options.averaging);
}

void setOutputs(AcquisitionPlan& plan, const Options& options)
{
    plan.outputDirectory = options.outputDirectory;
    plan.plotFile = options.plotFile;
    plan.jcamp = options.jcamp;
    plan.exposureUs = options.exposureUs;
    plan.averaging = options.averaging;
    plan.delayUs = options.delayUs;
}

AcquisitionPlan measurePlan(const Options& options)
{
    AcquisitionPlan plan;
    plan.command = commandName(Command::Measure);
    plan.settings = exposureSettings(options) + ", " + std::to_string(options.count) + " spectra per device";
    plan.spectraPerDevice = options.count;
    plan.deadline = timebudget::measureDeadline(options.exposureUs, options.averaging, options.delayUs, options.count);
    plan.stallLimit = timebudget::measureStallLimit(options.exposureUs, options.averaging, options.delayUs);
    plan.start = [options](VaskLinkProtocol& spectrometers, SpectrometerCallback& callback) {
        spectrometers.startMeasurement(&callback, options.exposureUs, options.averaging, options.delayUs,
                                       options.count);
    };
    setOutputs(plan, options);
    return plan;
}

// Whether `text` begins with an int, read as std::stoi reads it: blanks, a
// sign, then decimal digits within int's range; anything may follow.
bool beginsWithInt(const std::string& text)
{
    const char* first = text.data();
    const char* const last = first + text.size();
    while (first != last && std::isspace(static_cast<unsigned char>(*first))) {
        ++first;
    }
    // from_chars takes a minus but no plus.
    const bool plus = first != last && *first == '+';
    if (plus && (++first == last || *first == '-')) {
        return false;
    }
    int value = 0;
    return std::from_chars(first, last, value).ec == std::errc();
}

// The library refuses a batch unless every serial number begins with an
// int (it matches the devices up by that number): said here in the tool's
// words, before any device starts.
void requireNumericSerialNumbers(VaskLinkProtocol& spectrometers)
{
    for (size_t index = 0; index < spectrometers.getConnectedDeviceCount(); ++index) {
        const std::string serialNumber = spectrometers.getDevice(static_cast<int>(index))->m_serialNumber;
        if (!beginsWithInt(serialNumber)) {
            throw CommandFailure(CommandFailure::FAILURE, "serial number '" + serialNumber +
                                                              "': the library runs batches only on devices whose "
                                                              "serial numbers are whole numbers");
        }
    }
}

AcquisitionPlan batchPlan(const Options& options)
{
    AcquisitionPlan plan;
    plan.command = commandName(Command::Batch);
    plan.settings = exposureSettings(options) + ", batches of " + std::to_string(options.collections) + " spectra";
    plan.spectraPerDevice = options.collections;
    plan.deliveredAsBatch = true;
    plan.deadline =
        timebudget::batchDeadline(options.exposureUs, options.averaging, options.delayUs, options.collections);
    plan.stallLimit =
        timebudget::batchStallLimit(options.exposureUs, options.averaging, options.delayUs, options.collections);
    plan.start = [options](VaskLinkProtocol& spectrometers, SpectrometerCallback& callback) {
        requireNumericSerialNumbers(spectrometers);
        spectrometers.startBatchMeasurement(&callback, options.exposureUs, options.collections, options.averaging,
                                            options.delayUs);
    };
    setOutputs(plan, options);
    return plan;
}

void checkOutputs(const AcquisitionPlan& plan)
{
    checkOutputDirectory(plan.outputDirectory);
    if (!plan.plotFile.empty()) {
        checkOutputFile(plan.plotFile);
    }
}

void acquire(const AcquisitionPlan& plan, LibraryOutput& output)
{
    checkOutputs(plan);
    // Made before the session, so that it outlives the manager, whose
    // destructor joins the workers that call it, on every way out of here.
    SpectrumCollector collector;
    SpectrometerSession session;
    AcquisitionRun(session, collector, output, plan).execute();
}

// Applies `action` to each selected device, going on past failures, and
// reports what it returns; fails at the end if any device failed.
void forEachSelectedDevice(SpectrometerSession& session, int deviceIndex, LibraryOutput& output,
                           const std::string& command, const std::function<std::string(int)>& action)
{
    std::string failures;
    for (int index : session.select(deviceIndex)) {
        const std::string serialNumber = session.serialNumber(index);
        try {
            output.messages() << command << ": " << serialNumber << ": " << action(index) << std::endl;
        } catch (const std::exception& e) {
            failures += (failures.empty() ? "" : "\n") + serialNumber + ": " + e.what();
        }
    }
    if (!failures.empty()) {
        throw CommandFailure(CommandFailure::FAILURE, failures);
    }
}

void takeDarkSpectra(const Options& options, LibraryOutput& output)
{
    SpectrometerSession session;
    VaskLinkProtocol& spectrometers = session.spectrometers();
    forEachSelectedDevice(session, options.deviceIndex, output, commandName(Command::Dark), [&](int index) {
        // Per device, because the all-devices form only logs its failures.
        // The per-device form keeps the device's exposure settings, so they
        // are set first.
        spectrometers.getDevice(index)->setExposureParams(options.exposureUs, options.averaging);
        spectrometers.takeDarkSpectrum(options.exposureUs, options.averaging, index);
        return "dark spectrum taken (" + std::to_string(options.exposureUs) + " us x " +
               std::to_string(options.averaging) + "), subtraction on";
    });
}

void switchDarkSubtractionOff(const Options& options, LibraryOutput& output)
{
    SpectrometerSession session;
    VaskLinkProtocol& spectrometers = session.spectrometers();
    forEachSelectedDevice(session, options.deviceIndex, output, commandName(Command::Dark), [&](int index) {
        spectrometers.setSubtractDark(false, index);
        return std::string("subtraction off");
    });
}

std::string describe(const TriggerConfig& trigger)
{
    switch (trigger.mode) {
    case 0: return "software (free running)";
    case 2:
        return "external (hardware trigger, " +
               (trigger.edge == 0 ? std::string("rising edge") : "edge code " + std::to_string(trigger.edge)) + ")";
    default: return "unknown mode " + std::to_string(trigger.mode);
    }
}

void setTriggerMode(const Options& options, LibraryOutput& output)
{
    SpectrometerSession session;
    VaskLinkProtocol& spectrometers = session.spectrometers();
    spectrometers.setTriggerMode(options.triggerMode);
    for (int index = 0; index < session.deviceCount(); ++index) {
        output.messages() << commandName(Command::Trigger) << ": " << session.serialNumber(index) << ": "
                          << describe(spectrometers.getTriggerMode(index)) << std::endl;
    }
}

velmorview::ViewOptions viewOptionsOf(const Options& options)
{
    velmorview::ViewOptions view;
    view.exposureUs = options.exposureUs;
    view.averaging = options.averaging;
    view.port = options.port;
    view.listenAddress = options.listenAddress;
    view.token = options.token;
    view.tokenFile = options.tokenFile;
    view.openBrowser = options.openBrowser;
    return view;
}

void run(const Options& options, LibraryOutput& output)
{
    switch (options.command) {
    case Command::List: listDevices(output); break;
    case Command::Measure: acquire(measurePlan(options), output); break;
    case Command::Batch: acquire(batchPlan(options), output); break;
    case Command::Dark:
        if (options.darkOff) {
            switchDarkSubtractionOff(options, output);
        } else {
            takeDarkSpectra(options, output);
        }
        break;
    case Command::Trigger: setTriggerMode(options, output); break;
    case Command::View: velmorview::runView(viewOptionsOf(options), output); break;
    case Command::Record: recordSpectra(options, output); break;
    }
}

void reportFailure(LibraryOutput& output, const char* command, const std::string& message)
{
    std::istringstream lines(message + "\n" + output.logHint());
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            output.messages() << command << ": " << line << std::endl;
        }
    }
}

} // namespace

int runCommand(const Options& options, LibraryOutput& output)
{
    try {
        run(options, output);
        return 0;
    } catch (const CommandFailure& failure) {
        reportFailure(output, commandName(options.command), failure.what());
        return failure.exitStatus();
    } catch (const std::exception& error) {
        reportFailure(output, commandName(options.command), error.what());
        return CommandFailure::FAILURE;
    }
}

} // namespace velmorcli
