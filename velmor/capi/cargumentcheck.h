#pragma once

#include <cstddef>
#include <cstdint>

// Values the C interface refuses before any device moves: numbers that
// cannot be meant (a negative exposure, zero spectra) and device indexes
// outside the pool. The C++ classes are lenient with some of them (a count
// below 1 becomes 1, a negative exposure is sent as a huge unsigned one);
// a C host gets VELMOR_ERROR_INVALID_ARGUMENT or
// VELMOR_ERROR_INDEX_OUT_OF_RANGE with a text naming the argument and the
// range it must lie in.
class CArgumentCheck {
public:
    // `value` must lie in smallest .. INT32_MAX.
    static void atLeast(const char* name, int32_t value, int32_t smallest);

    // `deviceIndex` must address one of `deviceCount` devices, or all of
    // them when `allowAll` and it is VELMOR_ALL_DEVICES.
    static void deviceIndex(int32_t deviceIndex, size_t deviceCount, bool allowAll);
};
