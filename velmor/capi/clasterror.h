#pragma once

// The text of the last failed C call, one per thread, so that a host reads
// the reason of its own failure whatever other threads do meanwhile.
class CLastError {
public:
    static void set(const char* text) noexcept;
    // "function: text".
    static void set(const char* function, const char* text) noexcept;

    // Valid until the next set() on the same thread.
    static const char* text() noexcept;
};
