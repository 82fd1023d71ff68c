#pragma once

namespace velmorsim {

// Owns one file descriptor (closed on destruction); -1 owns nothing.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd);
    ~FileDescriptor();

    FileDescriptor(FileDescriptor&& other) noexcept;
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return mFd; }
    bool isOpen() const { return mFd >= 0; }
    void close();

private:
    int mFd = -1;
};

} // namespace velmorsim
