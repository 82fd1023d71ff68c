#pragma once

#include "filedescriptor.h"

#include <string>
#include <thread>

namespace velmorsim {

// While it lives, what this process writes to its standard error (file
// descriptor 2, whichever thread writes) passes through a filter that drops
// the lines starting with a given prefix; every other line reaches the
// original standard error, in order, by the time the filter is destroyed.
class StandardErrorFilter {
public:
    explicit StandardErrorFilter(std::string droppedPrefix);
    ~StandardErrorFilter();

    StandardErrorFilter(const StandardErrorFilter&) = delete;
    StandardErrorFilter& operator=(const StandardErrorFilter&) = delete;

private:
    void forward();
    void forwardLine(const std::string& line) const;

    std::string mDroppedPrefix;
    FileDescriptor mOriginal;
    FileDescriptor mPipeRead;
    std::thread mForwarder;
};

} // namespace velmorsim
