#pragma once

#include <string>

// What this process holds right now, read from /proc/self.
struct ProcessUsage {
    long residentKiB = 0;
    int openDescriptors = 0;
    int threads = 0;

    static ProcessUsage now();
    std::string describe() const;
};
