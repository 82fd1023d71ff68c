#include "cli/commandline.h"

#include "acquisition/timebudget.h"
#include "view/accessguard.h"
#include "view/controlrequests.h"

#include <charconv>
#include <limits>
#include <stdexcept>
#include <string>

namespace velmorcli {
namespace {

const char* const PROGRAM_DESCRIPTION =
    "velmor: work with every USB spectrometer attached to this computer at once:\n"
    "list them, measure, take dark spectra and set the trigger mode. Data go to CSV\n"
    "files (and an optional SVG chart); progress and results go to standard error.";

const char* const PROGRAM_FOOTER = R"(Examples:
  velmor list
  velmor measure --exposure-us 20000 --averaging 2 --count 10 --plot spectra.svg
  velmor batch --collections 100 --exposure-us 5000 --averaging 1 --output data
  velmor dark --exposure-us 20000 --averaging 2
  velmor trigger external
  velmor view
  velmor record run.h5 --exposure-us 10000 --averaging 1 --duration 600

Run 'velmor <command> --help' for the options of one command.
The library's diagnostic lines go to the log file (--log) unless --verbose is given.
Exit status: 0 success, 1 device or measurement failure, 2 no spectrometer found,
100 or more for an invalid command line.)";

const char* const LIST_FOOTER = R"(Prints one line per connected spectrometer: its index (used by --device),
serial number, USB bus and address, pixel range and count, wavelength range
and firmware version.

Example:
  velmor list)";

const char* const MEASURE_FOOTER = R"(All spectrometers measure at the same time, each taking its spectra one after
another. The command waits until every device has delivered --count spectra or
the library has reported that its measurement failed (a device unplugged...),
or until a deadline derived from the exposure settings has passed, then stops
the devices and writes <output>/measure-<serial>.csv per device: a wavelength_nm
column, then one column per spectrum labelled <serial>@<local time it arrived>,
one row per pixel. The chart (--plot) shows the mean spectrum of each device.
With --format jcamp, <output>/measure-<serial>.jdx instead: JCAMP-DX 5.01 with
the mean spectrum of the device, its serial number, firmware and exposure
settings in labelled fields, and every measured wavelength as it is
(##XYPOINTS=(XY..XY)).
The output directory and chart are checked before any device starts.

Examples:
  velmor measure --exposure-us 20000 --averaging 2 --count 10
  velmor measure --exposure-us 20000 --averaging 2 --count 10 --format jcamp
  velmor measure --exposure-us 100000 --averaging 1 --count 50 --delay-us 500 \
                 --output run1 --plot run1/spectra.svg)";

const char* const BATCH_FOOTER = R"(Each spectrometer takes its whole batch in one hardware run and hands it over
at the end. The command waits for every device's batch or its failure (a failed
batch still hands over what it had collected), or until the library's
collection limit ((exposure x averaging + delay) x collections + 5 s) and its
idle waits have passed, then writes <output>/batch-<serial>.csv per device: a
wavelength_nm column, then one column per spectrum labelled <serial>@<local time
the batch arrived>#<position in the batch>. The chart (--plot) shows the mean
spectrum of each device.

Examples:
  velmor batch --collections 100 --exposure-us 5000 --averaging 1
  velmor batch --collections 20 --exposure-us 50000 --averaging 4 --output data \
               --plot data/batch.svg)";

const char* const DARK_FOOTER = R"(Without --off: every spectrometer (or the one given by --device) takes a dark
spectrum with the given exposure settings, and from then on subtracts it from
the spectra it delivers. Cover the light input first.
With --off: dark subtraction is switched off again.
Device indices are those shown by 'velmor list'.

Examples:
  velmor dark --exposure-us 20000 --averaging 2
  velmor dark --device 1 --exposure-us 20000 --averaging 2
  velmor dark --off)";

const char* const TRIGGER_FOOTER = R"(software: measurements start on command (what 'measure' and 'batch' use; they
          switch every device to it themselves).
external: the devices wait for a rising edge on their hardware trigger input.
The mode is set on every connected spectrometer, then read back and printed.

Examples:
  velmor trigger external
  velmor trigger software)";

const char* const VIEW_FOOTER = R"(Connects every spectrometer, measures continuously and serves a live view
in the browser: one chart of every device's spectrum, exposure and averaging,
start/pause, dark spectrum and subtraction, trigger mode, a stored reference
per device for transmission and absorbance, and saving as CSV and PNG.
Open the printed address; Ctrl-C stops the devices and the server.

The server answers on 127.0.0.1 only. --listen serves other hosts too; then
every request but those for the page's own files must carry an access token,
generated and printed in the address unless one is given. Give it with
--token-file or in the environment variable VELMOR_VIEW_TOKEN: --token is
visible to every user of this computer in the process list.

Examples:
  velmor view
  velmor view --exposure-us 20000 --averaging 4 --open
  velmor view --listen 0.0.0.0 --port 9000)";

const char* const RECORD_FOOTER = R"(Every spectrometer measures continuously and every spectrum goes into one
HDF5 file with its metadata (device and host time, sequence number, exposure,
averaging, dark subtraction) until Ctrl-C, --duration or --count. The file is
written so that it can be read while it grows (HDF5 single-writer/multiple-
reader mode) and is flushed twice a second: after a crash it still holds
every spectrum up to the last flush. A spectrum that could not be kept (the
device's buffer or the writer fell behind) is counted as lost, and the gap is
recorded. Once a second a line shows spectra/s per device, spectra lost and
the file size. The layout (NeXus conventions) is described in the README.
An existing file is never overwritten.

Examples:
  velmor record run.h5 --exposure-us 10000 --averaging 1
  velmor record night.h5 --exposure-us 100000 --averaging 4 --duration 28800
  velmor record shots.h5 --exposure-us 5000 --averaging 1 --count 200 --trigger external)";

// CLI11's own number checks word their errors for floating point; these
// speak of whole numbers in the range an int option can take.
CLI::Validator wholeNumberFrom(int minimum)
{
    const std::string range = std::to_string(minimum) + " to " + std::to_string(std::numeric_limits<int>::max());
    return CLI::Validator(
        [minimum, range](std::string& input) -> std::string {
            int value = 0;
            const char* end = input.data() + input.size();
            const auto [parsedUpTo, error] = std::from_chars(input.data(), end, value);
            if (input.empty() || error != std::errc() || parsedUpTo != end || value < minimum) {
                return "expected a whole number from " + range + ", got '" + input + "'";
            }
            return {};
        },
        "");
}

std::string inYears(std::chrono::milliseconds duration)
{
    const auto year = std::chrono::hours{24 * 365};
    return "about " + std::to_string(duration / year) + " years";
}

} // namespace

const char* commandName(Command command)
{
    switch (command) {
    case Command::List: return "list";
    case Command::Measure: return "measure";
    case Command::Batch: return "batch";
    case Command::Dark: return "dark";
    case Command::Trigger: return "trigger";
    case Command::View: return "view";
    case Command::Record: return "record";
    }
    return "velmor";
}

CommandLine::CommandLine() : mApp(PROGRAM_DESCRIPTION, "velmor")
{
    mApp.footer(PROGRAM_FOOTER);
    mApp.require_subcommand(1);
    // Global options are accepted after the command name as well.
    mApp.fallthrough();
    addGlobalOptions();
    addListCommand();
    addMeasureCommand();
    addBatchCommand();
    addDarkCommand();
    addTriggerCommand();
    addViewCommand();
    addRecordCommand();
}

namespace {

// The arguments joined by spaces; one with a space or a quote in it is
// quoted for a POSIX shell.
std::string joinArguments(int argc, const char* const argv[])
{
    std::string joined;
    for (int i = 0; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument.empty() || argument.find_first_of(" \t'\"\\$") != std::string::npos) {
            std::string quoted = "'";
            for (char c : argument) {
                quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
            }
            argument = quoted + "'";
        }
        joined += (i == 0 ? "" : " ") + argument;
    }
    return joined;
}

} // namespace

void CommandLine::parse(int argc, const char* const argv[])
{
    mOptions.commandLine = joinArguments(argc, argv);
    mApp.parse(argc, argv);
    identifyCommand();
    checkOptionCombinations();
}

int CommandLine::exitFor(const CLI::ParseError& error)
{
    return mApp.exit(error);
}

const Options& CommandLine::options() const
{
    return mOptions;
}

void CommandLine::addGlobalOptions()
{
    mApp.add_option("--log", mOptions.logFile, "File that receives the library's diagnostic lines")
        ->type_name("FILE")
        ->capture_default_str();
    mApp.add_flag("--verbose", mOptions.verbose, "Show the library's diagnostic lines on the console instead");
}

CLI::App* CommandLine::addCommand(Command command, const std::string& description, const std::string& footer)
{
    CLI::App* app = mApp.add_subcommand(commandName(command), description);
    app->footer(footer);
    return app;
}

void CommandLine::addListCommand()
{
    mList = addCommand(Command::List, "List the connected spectrometers", LIST_FOOTER);
}

void CommandLine::addExposureOptions(CLI::App& command)
{
    command.add_option("--exposure-us", mOptions.exposureUs, "Exposure (integration) time in microseconds")
        ->type_name("N")
        ->required()
        ->check(wholeNumberFrom(1));
    command.add_option("--averaging", mOptions.averaging, "Exposures averaged into one spectrum")
        ->type_name("N")
        ->required()
        ->check(wholeNumberFrom(1));
}

void CommandLine::addDelayOption(CLI::App& app)
{
    app.add_option("--delay-us", mOptions.delayUs, "Trigger delay in microseconds")
        ->type_name("N")
        ->capture_default_str()
        ->check(wholeNumberFrom(0));
}

void CommandLine::addAcquisitionOptions(CLI::App& app, Command command)
{
    addDelayOption(app);
    const std::string fileNames = std::string(commandName(command)) + "-<serial>.csv or .jdx";
    app.add_option("--output", mOptions.outputDirectory,
                   "Directory for the data files (" + fileNames + "), created if missing")
        ->type_name("DIR")
        ->capture_default_str();
    app.add_option("--format", mFormatName,
                   "csv (every spectrum, the default) or jcamp (JCAMP-DX, the mean spectrum of each device)")
        ->type_name("FORMAT")
        ->check(CLI::IsMember({"csv", "jcamp"}));
    app.add_option("--plot", mOptions.plotFile, "Also draw the spectra of every device into this SVG file")
        ->type_name("FILE.svg");
}

void CommandLine::addMeasureCommand()
{
    mMeasure = addCommand(Command::Measure, "Measure continuously: --count spectra per spectrometer", MEASURE_FOOTER);
    addExposureOptions(*mMeasure);
    mMeasure->add_option("--count", mOptions.count, "Spectra per spectrometer")
        ->type_name("N")
        ->required()
        ->check(wholeNumberFrom(1));
    addAcquisitionOptions(*mMeasure, Command::Measure);
}

void CommandLine::addBatchCommand()
{
    mBatch = addCommand(Command::Batch, "Measure one batch of --collections spectra per spectrometer", BATCH_FOOTER);
    mBatch->add_option("--collections", mOptions.collections, "Spectra in the batch of each spectrometer")
        ->type_name("N")
        ->required()
        ->check(wholeNumberFrom(1));
    addExposureOptions(*mBatch);
    addAcquisitionOptions(*mBatch, Command::Batch);
}

void CommandLine::addDarkCommand()
{
    mDark = addCommand(Command::Dark, "Take a dark spectrum and subtract it, or switch subtraction off", DARK_FOOTER);
    mDark->add_option("--device", mOptions.deviceIndex, "Only this spectrometer (index from 'velmor list')")
        ->type_name("I")
        ->check(wholeNumberFrom(0));
    CLI::Option* off = mDark->add_flag("--off", mOptions.darkOff, "Switch dark subtraction off");
    mDark
        ->add_option("--exposure-us", mOptions.exposureUs,
                     "Exposure time of the dark spectrum in microseconds (required without --off)")
        ->type_name("N")
        ->check(wholeNumberFrom(1))
        ->excludes(off);
    mDark
        ->add_option("--averaging", mOptions.averaging,
                     "Exposures averaged into the dark spectrum (required without --off)")
        ->type_name("N")
        ->check(wholeNumberFrom(1))
        ->excludes(off);
}

void CommandLine::addTriggerCommand()
{
    mTrigger = addCommand(Command::Trigger, "Set how every spectrometer starts a measurement", TRIGGER_FOOTER);
    mTrigger->add_option("mode", mTriggerModeName, "software or external")
        ->type_name("MODE")
        ->required()
        ->check(CLI::IsMember({"software", "external"}));
}

void CommandLine::addViewCommand()
{
    mView = addCommand(Command::View, "Show every spectrometer live in the browser", VIEW_FOOTER);
    mView->add_option("--exposure-us", mOptions.exposureUs, "Exposure time to start with, in microseconds")
        ->type_name("N")
        ->default_val(10000)
        ->check(wholeNumberFrom(1));
    mView->add_option("--averaging", mOptions.averaging, "Exposures averaged into one spectrum, to start with")
        ->type_name("N")
        ->default_val(1)
        ->check(wholeNumberFrom(1));
    mView->add_option("--port", mOptions.port, "TCP port of the page (0: any free port)")
        ->type_name("N")
        ->capture_default_str()
        ->check(CLI::Range(0, 65535));
    mView->add_option("--listen", mOptions.listenAddress,
                      "Serve other hosts on this address of this computer (0.0.0.0: all); needs a token")
        ->type_name("ADDR");
    CLI::Option* token =
        mView->add_option("--token", mOptions.token,
                          "Access token for the page (default with --listen: a random one); visible in the "
                          "process list, prefer --token-file or $VELMOR_VIEW_TOKEN")
            ->type_name("TEXT");
    mView->add_option("--token-file", mOptions.tokenFile, "Read the access token from the first line of this file")
        ->type_name("FILE")
        ->check(CLI::ExistingFile)
        ->excludes(token);
    mView->add_flag("--open", mOptions.openBrowser, "Open the page in the desktop's browser");
}

void CommandLine::addRecordCommand()
{
    mRecord = addCommand(Command::Record, "Record every spectrum of every spectrometer into an HDF5 file",
                         RECORD_FOOTER);
    mRecord->add_option("file", mOptions.recordFile, "The HDF5 file to create")
        ->type_name("FILE.h5")
        ->required();
    addExposureOptions(*mRecord);
    addDelayOption(*mRecord);
    mRecord->add_option("--duration", mOptions.durationSeconds, "Stop after this many seconds")
        ->type_name("S")
        ->check(wholeNumberFrom(1));
    mRecord->add_option("--count", mOptions.count, "Stop after this many spectra per spectrometer")
        ->type_name("N")
        ->check(wholeNumberFrom(1));
    mRecord->add_option("--trigger", mTriggerModeName, "software (free running, the default) or external (hardware trigger)")
        ->type_name("MODE")
        ->check(CLI::IsMember({"software", "external"}));
}

void CommandLine::identifyCommand()
{
    const std::pair<CLI::App*, Command> commands[] = {{mList, Command::List},
                                                      {mMeasure, Command::Measure},
                                                      {mBatch, Command::Batch},
                                                      {mDark, Command::Dark},
                                                      {mTrigger, Command::Trigger},
                                                      {mView, Command::View},
                                                      {mRecord, Command::Record}};
    for (const auto& [app, command] : commands) {
        if (app->parsed()) {
            mOptions.command = command;
        }
    }
    mOptions.triggerMode = mTriggerModeName == "external" ? TriggerMode::EXTERNAL : TriggerMode::SOFTWARE;
    mOptions.jcamp = mFormatName == "jcamp";
}

void CommandLine::checkOptionCombinations() const
{
    switch (mOptions.command) {
    case Command::Measure:
    case Command::Batch: checkTimesCanBeCounted(); break;
    case Command::Dark: checkDarkSettings(); break;
    case Command::View: checkViewSettings(); break;
    case Command::List:
    case Command::Trigger:
    case Command::Record: break;
    }
}

// The deadlines follow the work asked for; what would take longer than the
// tool can count is refused here rather than overflowing later.
void CommandLine::checkTimesCanBeCounted() const
{
    const bool batch = mOptions.command == Command::Batch;
    const std::string repeats = batch ? "--collections" : "--count";
    try {
        if (batch) {
            timebudget::batchDeadline(mOptions.exposureUs, mOptions.averaging, mOptions.delayUs, mOptions.collections);
        } else {
            timebudget::measureDeadline(mOptions.exposureUs, mOptions.averaging, mOptions.delayUs, mOptions.count);
        }
    } catch (const std::overflow_error&) {
        throw CLI::ValidationError(repeats, "(exposure x averaging + delay) x " + repeats.substr(2) +
                                                " comes to more than the tool can wait for (" +
                                                inYears(timebudget::longestWait()) +
                                                "); lower --exposure-us, --averaging, --delay-us or " + repeats);
    }
}

void CommandLine::checkDarkSettings() const
{
    if (mOptions.darkOff) {
        return;
    }
    for (const char* name : {"--exposure-us", "--averaging"}) {
        if (mDark->count(name) == 0) {
            throw CLI::RequiredError(std::string(name) + " (needed unless --off)");
        }
    }
}

void CommandLine::checkViewSettings() const
{
    checkLiveSettings();
    if (!mOptions.token.empty()) {
        const std::string problem = velmorview::AccessGuard::tokenProblem(mOptions.token);
        if (!problem.empty()) {
            throw CLI::ValidationError("--token", problem);
        }
    }
}

// The settings to start with obey the limits the page's controls obey.
void CommandLine::checkLiveSettings() const
{
    using velmorview::ControlRequests;
    if (mOptions.exposureUs > ControlRequests::MAX_EXPOSURE_US) {
        throw CLI::ValidationError("--exposure-us", "at most " + std::to_string(ControlRequests::MAX_EXPOSURE_US));
    }
    if (mOptions.averaging > ControlRequests::MAX_AVERAGING) {
        throw CLI::ValidationError("--averaging", "at most " + std::to_string(ControlRequests::MAX_AVERAGING));
    }
    const auto needed = timebudget::spectrumDuration(mOptions.exposureUs, mOptions.averaging, 0);
    if (needed > ControlRequests::LONGEST_LIVE_SPECTRUM) {
        throw CLI::ValidationError("--averaging", "one spectrum would take " + std::to_string(needed.count()) +
                                                      " ms (exposure x averaging), more than a live view waits for (" +
                                                      std::to_string(ControlRequests::LONGEST_LIVE_SPECTRUM.count()) +
                                                      " ms); lower --averaging");
    }
}

} // namespace velmorcli
