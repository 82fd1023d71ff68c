#include "standarderrorfilter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace velmorsim {
namespace {

void flushStandardError()
{
    std::cerr.flush();
    std::fflush(stderr);
}

void writeAll(int fd, const std::string& text)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t result = ::write(fd, text.data() + written, text.size() - written);
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result <= 0) {
            return;
        }
        written += static_cast<std::size_t>(result);
    }
}

} // namespace

StandardErrorFilter::StandardErrorFilter(std::string droppedPrefix)
    : mDroppedPrefix(std::move(droppedPrefix)), mOriginal(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0))
{
    int ends[2];
    if (!mOriginal.isOpen() || ::pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("cannot filter standard error: ") + std::strerror(errno));
    }
    mPipeRead = FileDescriptor(ends[0]);
    const FileDescriptor pipeWrite(ends[1]);
    flushStandardError();
    ::dup2(pipeWrite.get(), STDERR_FILENO);
    mForwarder = std::thread(&StandardErrorFilter::forward, this);
}

StandardErrorFilter::~StandardErrorFilter()
{
    flushStandardError();
    // Closes the pipe's last write end: the forwarder passes on what is
    // left and ends.
    ::dup2(mOriginal.get(), STDERR_FILENO);
    mForwarder.join();
}

void StandardErrorFilter::forward()
{
    std::string pending;
    char buffer[4096];
    for (;;) {
        const ssize_t received = ::read(mPipeRead.get(), buffer, sizeof buffer);
        if (received < 0 && errno == EINTR) {
            continue;
        }
        if (received <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(received));
        std::size_t lineEnd;
        while ((lineEnd = pending.find('\n')) != std::string::npos) {
            forwardLine(pending.substr(0, lineEnd + 1));
            pending.erase(0, lineEnd + 1);
        }
    }
    forwardLine(pending);
}

void StandardErrorFilter::forwardLine(const std::string& line) const
{
    if (line.compare(0, mDroppedPrefix.size(), mDroppedPrefix) != 0) {
        writeAll(mOriginal.get(), line);
    }
}

} // namespace velmorsim
