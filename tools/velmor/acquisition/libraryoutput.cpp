#include "acquisition/libraryoutput.h"

#include <velmor/velmorhost.h>

#include <iostream>
#include <stdexcept>

namespace velmorcli {

LibraryOutput::LibraryOutput(const std::string& logFile, bool verbose) : mLogFile(verbose ? std::string() : logFile)
{
    if (verbose) {
        return;
    }
    mLog = std::make_unique<std::ofstream>(logFile, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!*mLog) {
        throw std::runtime_error("cannot write the log file " + logFile);
    }
    std::ofstream& log = *mLog;
    velmor::setLogHandler([&log](velmor::LogStream, const std::string& line) { log << line << '\n' << std::flush; });
}

LibraryOutput::~LibraryOutput()
{
    if (mLog) {
        velmor::setLogHandler(nullptr);
    }
}

std::ostream& LibraryOutput::console()
{
    return std::cout;
}

std::ostream& LibraryOutput::messages()
{
    return std::cerr;
}

std::string LibraryOutput::logHint() const
{
    return mLogFile.empty() ? std::string() : "the library's messages are in " + mLogFile;
}

} // namespace velmorcli
