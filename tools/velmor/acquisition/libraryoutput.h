#pragma once

#include <fstream>
#include <memory>
#include <ostream>
#include <string>

namespace velmorcli {

// While it lives, the library's diagnostic lines go to a log file (through
// the library's log handler), or stay on the console when verbose. The
// tool's own output reaches the console either way, through console() and
// messages().
class LibraryOutput {
public:
    // Throws std::runtime_error if the log file cannot be written.
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
    // Written only by the library's handler calls, which it serialises.
    std::unique_ptr<std::ofstream> mLog;
};

} // namespace velmorcli
