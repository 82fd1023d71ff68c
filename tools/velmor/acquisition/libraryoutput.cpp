#include "acquisition/libraryoutput.h"

#include <iostream>

namespace velmorcli {

LibraryOutput::LibraryOutput(const std::string& logFile, bool verbose)
    : mLogFile(verbose ? std::string() : logFile),
      mLogBuffer(verbose ? nullptr : std::make_unique<SynchronizedFileBuffer>(logFile)),
      mConsole(std::cout.rdbuf()),
      mMessages(std::cerr.rdbuf())
{
    if (mLogBuffer) {
        std::cout.rdbuf(mLogBuffer.get());
        std::cerr.rdbuf(mLogBuffer.get());
    }
}

LibraryOutput::~LibraryOutput()
{
    if (mLogBuffer) {
        std::cout.flush();
        std::cout.rdbuf(mConsole.rdbuf());
        std::cerr.rdbuf(mMessages.rdbuf());
    }
}

std::ostream& LibraryOutput::console()
{
    return mConsole;
}

std::ostream& LibraryOutput::messages()
{
    return mMessages;
}

std::string LibraryOutput::logHint() const
{
    return mLogFile.empty() ? std::string() : "the library's messages are in " + mLogFile;
}

} // namespace velmorcli
