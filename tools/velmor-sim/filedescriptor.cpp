#include "filedescriptor.h"

#include <unistd.h>

#include <utility>

namespace velmorsim {

FileDescriptor::FileDescriptor(int fd) : mFd(fd) {}

FileDescriptor::~FileDescriptor()
{
    close();
}

FileDescriptor::FileDescriptor(FileDescriptor&& other) noexcept : mFd(std::exchange(other.mFd, -1)) {}

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept
{
    if (this != &other) {
        close();
        mFd = std::exchange(other.mFd, -1);
    }
    return *this;
}

void FileDescriptor::close()
{
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
}

} // namespace velmorsim
