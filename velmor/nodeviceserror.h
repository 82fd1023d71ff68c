#pragma once

#include <stdexcept>

// "No devices connected": an operation that needs devices found none in the
// pool. Internal, so that the C interface can report it as a status of its
// own; C++ hosts see the std::runtime_error it is.
class NoDevicesError : public std::runtime_error {
public:
    NoDevicesError();
};
