#pragma once

#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace velmorcli {

// While it lives, everything written to the stream still reaches where it
// went before, and is also kept as a list of lines. Used on one thread only.
class LineCapture : private std::streambuf {
public:
    explicit LineCapture(std::ostream& stream);
    ~LineCapture() override;

    LineCapture(const LineCapture&) = delete;
    LineCapture& operator=(const LineCapture&) = delete;

    // The complete lines so far, without their line ends.
    const std::vector<std::string>& lines() const;

private:
    int_type overflow(int_type character) override;
    std::streamsize xsputn(const char* text, std::streamsize length) override;
    int sync() override;
    void keep(char character);

    std::ostream& mStream;
    std::streambuf* mForward;
    std::string mPartialLine;
    std::vector<std::string> mLines;
};

} // namespace velmorcli
