#pragma once

#include <ostream>
#include <string>

namespace velmor_detail {

// Receives one diagnostic line of the library, without its line end.
// `stream` is 0 for a progress line (standard output) and 1 for an error
// line (standard error).
using LogLineHandler = void (*)(int stream, const char* line, void* user);

// Where the library writes its diagnostic lines: standard output and
// standard error, or, once a host installed a handler (hosts without a
// console), that handler, one call per line with the same bytes.
class LogSink {
public:
    static constexpr int PROGRESS_LINE = 0;
    static constexpr int ERROR_LINE = 1;

    // The stream for progress lines and the one for error lines. With a
    // handler installed these are per-thread streams that hand every
    // completed line to it, so lines of different workers never mix.
    static std::ostream& out();
    static std::ostream& err();

    // nullptr restores the standard streams. Handler calls are serialised;
    // once this returns, the previous handler is not called again.
    static void setHandler(LogLineHandler handler, void* user);

    // Called by the per-thread streams with each completed line.
    static void emit(int stream, const std::string& line);

    // Puts the stream into decimal. Workers of several devices write their
    // start lines at the same time, and changing the format flags is a write
    // that races with the others' output, so it only happens when something
    // left the stream in another base.
    static std::ostream& decimal(std::ostream& stream);
};

} // namespace velmor_detail
