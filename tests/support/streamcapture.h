#pragma once

#include <iosfwd>
#include <memory>
#include <string>

// Captures what std::cout and std::cerr receive while it lives, including
// output written concurrently by the library's worker threads. Create it
// before such threads start writing and destroy it after they stopped: the
// streams' buffers are swapped in the constructor and restored in the
// destructor.
class StreamCapture {
public:
    StreamCapture();
    ~StreamCapture();

    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string out() const;
    std::string err() const;
    void clear();

private:
    class LockedBuffer;

    std::unique_ptr<LockedBuffer> out_;
    std::unique_ptr<LockedBuffer> err_;
    std::streambuf* originalOut_;
    std::streambuf* originalErr_;
};
