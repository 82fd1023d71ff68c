#include "output/outputcheck.h"

#include "cli/commandfailure.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>

namespace velmorcli {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void refuse(const fs::path& path, const std::string& reason)
{
    throw CommandFailure(CommandFailure::FAILURE, "cannot write to " + path.string() + ": " + reason);
}

void createDirectories(const fs::path& directory, const fs::path& reported)
{
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) {
        refuse(reported, "cannot create the directory " + directory.string() + ": " + error.message());
    }
    if (!fs::is_directory(directory, error)) {
        refuse(reported, directory.string() + " is not a directory");
    }
}

// Creates `file` afresh, writes a byte into it and removes it again: only a
// real write finds a read-only file system or a full quota.
void probeNewFile(const fs::path& file, const fs::path& reported)
{
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        refuse(reported, std::strerror(errno));
    }
    const bool written = ::write(descriptor, "v", 1) == 1;
    const int writeError = errno;
    ::close(descriptor);
    ::unlink(file.c_str());
    if (!written) {
        refuse(reported, std::strerror(writeError));
    }
}

void probeExistingFile(const fs::path& file)
{
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (descriptor < 0) {
        refuse(file, std::strerror(errno));
    }
    ::close(descriptor);
}

} // namespace

void checkOutputDirectory(const fs::path& directory)
{
    createDirectories(directory, directory);
    probeNewFile(directory / (".velmor-write-check-" + std::to_string(::getpid())), directory);
}

void checkOutputFile(const fs::path& file, bool mustBeNew)
{
    if (file.has_parent_path()) {
        createDirectories(file.parent_path(), file);
    }
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (!fs::exists(status)) {
        probeNewFile(file, file);
    } else if (mustBeNew) {
        refuse(file, "the file already exists");
    } else if (fs::is_directory(status)) {
        refuse(file, "it is a directory");
    } else {
        probeExistingFile(file);
    }
}

} // namespace velmorcli
