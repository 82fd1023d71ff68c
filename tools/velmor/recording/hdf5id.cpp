#include "recording/hdf5id.h"

#include <stdexcept>
#include <utility>

namespace velmorcli {
namespace {

// The system's text where HDF5's file driver quotes it, otherwise the
// whole description.
std::string briefReason(const std::string& description)
{
    const std::string mark = "error message = '";
    const auto start = description.find(mark);
    if (start != std::string::npos) {
        const auto end = description.find('\'', start + mark.size());
        if (end != std::string::npos) {
            return description.substr(start + mark.size(), end - start - mark.size());
        }
    }
    return description;
}

herr_t keepInnermost(unsigned position, const H5E_error2_t* error, void* reason)
{
    // The walk starts at the innermost call, where the system's reason is.
    if (position == 0 && error->desc != nullptr) {
        *static_cast<std::string*>(reason) = briefReason(error->desc);
    }
    return 0;
}

} // namespace

void silenceHdf5ErrorOutput()
{
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

std::string hdf5ErrorReason()
{
    std::string reason;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, keepInnermost, &reason);
    return reason.empty() ? "HDF5 gave no reason" : reason;
}

void checkHdf5(herr_t status, const std::string& what)
{
    if (status < 0) {
        throw std::runtime_error(what + " failed: " + hdf5ErrorReason());
    }
}

Hdf5Id::Hdf5Id(hid_t id, Closer closer, const std::string& what) : mId(id), mCloser(closer)
{
    if (id < 0) {
        throw std::runtime_error(what + " failed: " + hdf5ErrorReason());
    }
}

Hdf5Id::~Hdf5Id()
{
    if (mId >= 0) {
        mCloser(mId);
    }
}

Hdf5Id::Hdf5Id(Hdf5Id&& other) noexcept
    : mId(std::exchange(other.mId, H5I_INVALID_HID)), mCloser(other.mCloser)
{
}

Hdf5Id& Hdf5Id::operator=(Hdf5Id&& other) noexcept
{
    if (this != &other) {
        if (mId >= 0) {
            mCloser(mId);
        }
        mId = std::exchange(other.mId, H5I_INVALID_HID);
        mCloser = other.mCloser;
    }
    return *this;
}

hid_t Hdf5Id::get() const
{
    return mId;
}

void Hdf5Id::abandon()
{
    mId = H5I_INVALID_HID;
}

void Hdf5Id::close(const std::string& what)
{
    const hid_t id = std::exchange(mId, H5I_INVALID_HID);
    if (id >= 0) {
        checkHdf5(mCloser(id), what);
    }
}

} // namespace velmorcli
