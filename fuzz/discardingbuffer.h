#pragma once

#include <streambuf>

// Swallows what is written to it once the stream has formatted it, so that
// the library's logging runs in full without drowning libFuzzer's output.
class DiscardingBuffer : public std::streambuf {
public:
    // Points the standard output and error streams at one for good.
    static void discardStandardStreams();

protected:
    int overflow(int character) override { return traits_type::not_eof(character); }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};
