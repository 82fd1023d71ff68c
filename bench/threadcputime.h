#pragma once

#include <chrono>

// CPU time the calling thread has used since it started.
std::chrono::nanoseconds cpuTimeOfThisThread();
