#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The C interface's buffer convention: the caller passes a buffer, its
// capacity in elements and where to put the size the whole result needs.
// A NULL buffer with capacity 0 asks for the size only.
class CCallerBuffer {
public:
    // Writes *needed = count; returns whether `buffer` is to be filled (false
    // for a size query). Throws CStatusError for a NULL `needed`, a NULL
    // buffer with a capacity, or a capacity below `count`.
    static bool accepts(size_t count, const void* buffer, uint32_t capacity, uint32_t* needed);

    static void copyText(const std::string& text, char* buffer, uint32_t capacity, uint32_t* needed);

    template <typename T>
    static void copyArray(const std::vector<T>& values, T* buffer, uint32_t capacity, uint32_t* needed)
    {
        if (accepts(values.size(), buffer, capacity, needed)) {
            std::copy(values.begin(), values.end(), buffer);
        }
    }
};
