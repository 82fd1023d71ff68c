#include "cli/commandline.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace velmorcli {
namespace {

// Parses a command line given without the program name.
Options parsed(std::initializer_list<const char*> arguments)
{
    std::vector<const char*> argv{"velmor"};
    argv.insert(argv.end(), arguments);
    CommandLine commandLine;
    commandLine.parse(static_cast<int>(argv.size()), argv.data());
    return commandLine.options();
}

// The message of the parse error, or "" if the command line was accepted.
std::string rejection(std::initializer_list<const char*> arguments)
{
    try {
        parsed(arguments);
    } catch (const CLI::ParseError& error) {
        EXPECT_NE(error.get_exit_code(), 0) << error.what();
        return error.what();
    }
    return "";
}

TEST(CommandLine, MeasureTakesItsSettings)
{
    const Options options = parsed({"measure", "--exposure-us", "20000", "--averaging", "2", "--count", "5",
                                    "--delay-us", "100", "--output", "out", "--plot", "out/p.svg"});
    EXPECT_EQ(options.command, Command::Measure);
    EXPECT_EQ(options.exposureUs, 20000);
    EXPECT_EQ(options.averaging, 2);
    EXPECT_EQ(options.count, 5);
    EXPECT_EQ(options.delayUs, 100);
    EXPECT_EQ(options.outputDirectory, "out");
    EXPECT_EQ(options.plotFile, "out/p.svg");
}

TEST(CommandLine, ViewStartsOnLoopbackWithWorkableDefaults)
{
    const Options options = parsed({"view"});
    EXPECT_EQ(options.command, Command::View);
    EXPECT_EQ(options.port, 8321);
    EXPECT_TRUE(options.listenAddress.empty());
    EXPECT_TRUE(options.token.empty());
    EXPECT_EQ(options.exposureUs, 10000);
    EXPECT_EQ(options.averaging, 1);
    EXPECT_EQ(parsed({"view", "--listen", "0.0.0.0", "--port", "0"}).listenAddress, "0.0.0.0");
}

TEST(CommandLine, ViewRefusesWeakTokensAndUnworkableSettings)
{
    EXPECT_NE(rejection({"view", "--token", "secret"}).find("at least 16"), std::string::npos);
    EXPECT_NE(rejection({"view", "--token", "0123456789abcdef?x"}).find("only letters"), std::string::npos);
    EXPECT_EQ(rejection({"view", "--token", "0123456789abcdef"}), "");
    EXPECT_NE(rejection({"view", "--port", "70000"}), "");
    EXPECT_NE(rejection({"view", "--exposure-us", "1000000", "--averaging", "100"}).find("lower --averaging"),
              std::string::npos);
}

TEST(CommandLine, DefaultsLogToAFileInTheCurrentDirectory)
{
    const Options options = parsed({"batch", "--collections", "10", "--exposure-us", "1000", "--averaging", "1"});
    EXPECT_EQ(options.command, Command::Batch);
    EXPECT_EQ(options.collections, 10);
    EXPECT_EQ(options.delayUs, 0);
    EXPECT_EQ(options.outputDirectory, ".");
    EXPECT_TRUE(options.plotFile.empty());
    EXPECT_EQ(options.logFile, "velmor.log");
    EXPECT_FALSE(options.verbose);
}

TEST(CommandLine, GlobalOptionsWorkBeforeAndAfterTheCommand)
{
    EXPECT_EQ(parsed({"--log", "a.log", "list"}).logFile, "a.log");
    const Options after = parsed({"list", "--verbose", "--log", "b.log"});
    EXPECT_TRUE(after.verbose);
    EXPECT_EQ(after.logFile, "b.log");
}

TEST(CommandLine, DarkTargetsAllDevicesUnlessOneIsGiven)
{
    const Options all = parsed({"dark", "--exposure-us", "1000", "--averaging", "3"});
    EXPECT_EQ(all.command, Command::Dark);
    EXPECT_EQ(all.deviceIndex, Options::ALL_DEVICES);
    EXPECT_FALSE(all.darkOff);
    const Options one = parsed({"dark", "--off", "--device", "1"});
    EXPECT_TRUE(one.darkOff);
    EXPECT_EQ(one.deviceIndex, 1);
}

TEST(CommandLine, TriggerModeByName)
{
    EXPECT_EQ(parsed({"trigger", "external"}).triggerMode, TriggerMode::EXTERNAL);
    EXPECT_EQ(parsed({"trigger", "software"}).triggerMode, TriggerMode::SOFTWARE);
    EXPECT_NE(rejection({"trigger", "sideways"}), "");
    EXPECT_NE(rejection({"trigger", "1"}), "") << "only the names are accepted";
    EXPECT_NE(rejection({"trigger"}), "");
}

TEST(CommandLine, RefusesOutOfRangeAndMalformedNumbers)
{
    const auto measure = [](const char* exposure, const char* averaging, const char* count) {
        return rejection({"measure", "--exposure-us", exposure, "--averaging", averaging, "--count", count});
    };
    EXPECT_NE(measure("-5", "1", "3").find("--exposure-us: expected a whole number from 1"), std::string::npos);
    EXPECT_NE(measure("0", "1", "3"), "");
    EXPECT_NE(measure("1000", "0", "3"), "");
    EXPECT_NE(measure("1000", "1", "0").find("--count"), std::string::npos);
    EXPECT_NE(measure("abc", "1", "3"), "");
    EXPECT_NE(measure("2.5", "1", "3"), "");
    EXPECT_NE(measure("99999999999", "1", "3"), "") << "beyond int";
    EXPECT_EQ(measure("1", "1", "1"), "");
    EXPECT_NE(rejection({"measure", "--exposure-us", "1000", "--averaging", "1", "--count", "1", "--delay-us", "-1"}),
              "");
    EXPECT_NE(rejection({"dark", "--off", "--device", "-1"}), "") << "-1 is the library's 'all', not an index";
}

TEST(CommandLine, RequiresACommandAndItsSettings)
{
    EXPECT_NE(rejection({}), "");
    EXPECT_NE(rejection({"measure", "--exposure-us", "1000", "--averaging", "1"}).find("--count"), std::string::npos);
    EXPECT_NE(rejection({"batch", "--exposure-us", "1000", "--averaging", "1"}).find("--collections"),
              std::string::npos);
    EXPECT_NE(rejection({"dark", "--averaging", "2"}).find("--exposure-us"), std::string::npos);
    EXPECT_NE(rejection({"dark", "--exposure-us", "2"}).find("--averaging"), std::string::npos);
    EXPECT_NE(rejection({"dark", "--off", "--exposure-us", "1000"}), "") << "--off takes no exposure settings";
    EXPECT_NE(rejection({"list", "--count", "3"}), "");
}

TEST(CommandLine, AcceptsAveragingAndDelaysOfAnyLength)
{
    // The library's waits follow the work asked for.
    EXPECT_EQ(rejection({"measure", "--exposure-us", "100000", "--averaging", "50", "--count", "1"}), "");
    EXPECT_EQ(rejection({"batch", "--collections", "10", "--exposure-us", "100000", "--averaging", "50",
                         "--delay-us", "1000000"}),
              "");
    // Batches beyond 2^31 us of exposure get their full time.
    EXPECT_EQ(rejection({"batch", "--collections", "2148", "--exposure-us", "1000000", "--averaging", "1"}), "");
}

TEST(CommandLine, RefusesTimesTheToolCannotCount)
{
    const char* top = "2147483647";
    const std::string measure = rejection({"measure", "--exposure-us", "2000000", "--averaging", "1", "--count", top});
    EXPECT_EQ(measure.find("--count: (exposure x averaging + delay) x count comes to more than the tool can wait for "
                           "(about "),
              0u)
        << measure;
    const std::string batch =
        rejection({"batch", "--collections", top, "--exposure-us", top, "--averaging", top, "--delay-us", top});
    EXPECT_EQ(batch.find("--collections: (exposure x averaging + delay) x collections comes to more than"), 0u)
        << batch;
    EXPECT_NE(batch.find("lower --exposure-us, --averaging, --delay-us or --collections"), std::string::npos) << batch;
}

} // namespace
} // namespace velmorcli
