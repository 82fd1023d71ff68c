#pragma once

#include <velmor/spectrometerdevice.h>

#include <CLI/CLI.hpp>

#include <string>

namespace velmorcli {

enum class Command { List, Measure, Batch, Dark, Trigger, View, Record };

// The name of the command on the command line; also the prefix of its
// messages and of its file names.
const char* commandName(Command command);

// Every option of every command; a command reads the ones it has.
struct Options {
    static constexpr int ALL_DEVICES = -1;

    Command command = Command::List;
    std::string logFile = "velmor.log";
    bool verbose = false;

    int exposureUs = 0;
    int averaging = 0;
    int delayUs = 0;
    int count = 0;
    int collections = 0;
    std::string outputDirectory = ".";
    std::string plotFile; // empty: no plot
    bool jcamp = false;   // --format jcamp

    int deviceIndex = ALL_DEVICES;
    bool darkOff = false;

    TriggerMode triggerMode = TriggerMode::SOFTWARE;

    static constexpr int DEFAULT_VIEW_PORT = 8321;
    int port = DEFAULT_VIEW_PORT;
    std::string listenAddress; // empty: loopback only
    std::string token;
    std::string tokenFile;
    bool openBrowser = false;

    std::string commandLine; // as given, for the record of how a file was made
    std::string recordFile;
    int durationSeconds = 0; // 0: until Ctrl-C (or --count)
};

// The tool's command line: the commands, their options, the checks on the
// option values and the help texts.
class CommandLine {
public:
    CommandLine();

    // Throws CLI::ParseError for a bad command line and for --help; pass it
    // to exitFor().
    void parse(int argc, const char* const argv[]);

    // Prints the help or the error and returns the exit status CLI11 gives it.
    int exitFor(const CLI::ParseError& error);

    const Options& options() const;

private:
    void addGlobalOptions();
    void addListCommand();
    void addMeasureCommand();
    void addBatchCommand();
    void addDarkCommand();
    void addTriggerCommand();
    void addViewCommand();
    void addRecordCommand();
    CLI::App* addCommand(Command command, const std::string& description, const std::string& footer);
    void addExposureOptions(CLI::App& command);
    void addDelayOption(CLI::App& app);
    void addAcquisitionOptions(CLI::App& app, Command command);

    void identifyCommand();
    void checkOptionCombinations() const;
    void checkTimesCanBeCounted() const;
    void checkDarkSettings() const;
    void checkViewSettings() const;
    void checkLiveSettings() const;

    CLI::App mApp;
    Options mOptions;
    std::string mTriggerModeName;
    std::string mFormatName;
    CLI::App* mList = nullptr;
    CLI::App* mMeasure = nullptr;
    CLI::App* mBatch = nullptr;
    CLI::App* mDark = nullptr;
    CLI::App* mTrigger = nullptr;
    CLI::App* mView = nullptr;
    CLI::App* mRecord = nullptr;
};

} // namespace velmorcli
