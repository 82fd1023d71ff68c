// velmor: the command-line tool for the library's users, and the reference
// example of its public API. See 'velmor --help'.

#include "cli/commandfailure.h"
#include "cli/commandline.h"
#include "cli/commands.h"
#include "acquisition/libraryoutput.h"

#include <iostream>
#include <memory>

int main(int argc, char* argv[])
{
    velmorcli::CommandLine commandLine;
    try {
        commandLine.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return commandLine.exitFor(error);
    }
    const velmorcli::Options& options = commandLine.options();
    std::unique_ptr<velmorcli::LibraryOutput> output;
    try {
        output = std::make_unique<velmorcli::LibraryOutput>(options.logFile, options.verbose);
    } catch (const std::exception& error) {
        std::cerr << "velmor: " << error.what() << std::endl;
        return velmorcli::CommandFailure::FAILURE;
    }
    return velmorcli::runCommand(options, *output);
}
