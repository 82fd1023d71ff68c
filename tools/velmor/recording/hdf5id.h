#pragma once

#include <hdf5.h>

#include <string>

namespace velmorcli {

// One HDF5 identifier (file, group, dataset, space, type, property list,
// attribute), closed with its own close function when it goes.
class Hdf5Id {
public:
    using Closer = herr_t (*)(hid_t);

    Hdf5Id() = default;
    // Takes `id` as returned by an HDF5 call; a negative one (the call
    // failed) throws std::runtime_error saying `what` failed and why.
    Hdf5Id(hid_t id, Closer closer, const std::string& what);
    ~Hdf5Id();

    Hdf5Id(Hdf5Id&& other) noexcept;
    Hdf5Id& operator=(Hdf5Id&& other) noexcept;
    Hdf5Id(const Hdf5Id&) = delete;
    Hdf5Id& operator=(const Hdf5Id&) = delete;

    hid_t get() const;
    // Forgets the identifier without closing it: closing flushes, and a
    // file whose writing failed must not be written to any more.
    void abandon();
    // Closes now; throws std::runtime_error when closing fails (for a file:
    // its last writes did not reach the disk).
    void close(const std::string& what);

private:
    hid_t mId = H5I_INVALID_HID;
    Closer mCloser = nullptr;
};

// Throws std::runtime_error saying `what` failed and HDF5's reason when
// `status` is negative.
void checkHdf5(herr_t status, const std::string& what);

// HDF5 prints its error stacks, per thread, unless told not to; each thread
// that calls it does so here, where failures are reported as exceptions.
void silenceHdf5ErrorOutput();

// The innermost reason on HDF5's error stack (e.g. the system's text for a
// failed write), or a general text when the stack is empty.
std::string hdf5ErrorReason();

} // namespace velmorcli
