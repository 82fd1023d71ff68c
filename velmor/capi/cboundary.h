#pragma once

#include <cstdint>
#include <exception>

// Where the C interface meets the C++ library: runs one C call's work and
// turns whatever it throws into a status code and the thread's last-error
// text, so that no exception ever reaches the host.
class CBoundary {
public:
    // `work` returns nothing and reports failures by throwing. `function`
    // names the C call in the texts of failures the C layer finds itself.
    template <typename Work>
    static int32_t run(const char* function, Work&& work) noexcept
    {
        try {
            work();
            return 0;
        } catch (...) {
            return failWithCurrentException(function);
        }
    }

    // The status code for `failure`: the one map from the library's
    // exceptions to the C interface's codes. VELMOR_OK for a null pointer.
    static int32_t statusOf(const std::exception_ptr& failure) noexcept;

private:
    static int32_t failWithCurrentException(const char* function) noexcept;
};
