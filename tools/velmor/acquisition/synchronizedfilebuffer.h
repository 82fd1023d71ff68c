#pragma once

#include <fstream>
#include <mutex>
#include <streambuf>
#include <string>

namespace velmorcli {

// An unbuffered stream buffer that appends to a file under a mutex. The
// library writes its diagnostic lines from every measurement worker at once;
// a plain file buffer behind std::cout would be a data race.
class SynchronizedFileBuffer : public std::streambuf {
public:
    // Truncates the file; throws std::runtime_error if it cannot be opened.
    explicit SynchronizedFileBuffer(const std::string& path);

private:
    int_type overflow(int_type character) override;
    std::streamsize xsputn(const char* text, std::streamsize length) override;
    int sync() override;

    std::mutex mMutex;
    std::filebuf mFile;
};

} // namespace velmorcli
