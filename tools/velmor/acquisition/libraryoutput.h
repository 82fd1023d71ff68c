#pragma once

#include "acquisition/synchronizedfilebuffer.h"

#include <memory>
#include <ostream>
#include <string>

namespace velmorcli {

// While it lives, the library's diagnostic lines (everything written to
// std::cout and std::cerr) go to a log file, or stay on the console when
// verbose. The tool's own output reaches the console either way, through
// console() and messages().
class LibraryOutput {
public:
    LibraryOutput(const std::string& logFile, bool verbose);
    ~LibraryOutput();

    LibraryOutput(const LibraryOutput&) = delete;
    LibraryOutput& operator=(const LibraryOutput&) = delete;

    // Standard output: the result of a command such as a listing.
    std::ostream& console();
    // Standard error: progress, summaries and failures.
    std::ostream& messages();
    // Where to look for the library's side of a failure; empty when verbose.
    std::string logHint() const;

private:
    std::string mLogFile;
    std::unique_ptr<SynchronizedFileBuffer> mLogBuffer;
    std::ostream mConsole;
    std::ostream mMessages;
};

} // namespace velmorcli
