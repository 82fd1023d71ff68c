#pragma once

#include <filesystem>

namespace velmorcli {

// Checks made before any spectrometer starts, so that a run is never
// measured only to be lost for want of a place to put it. Each throws
// CommandFailure naming the path and the system's reason.

// Creates the directory (and its parents) if missing and makes sure a file
// can be created in it.
void checkOutputDirectory(const std::filesystem::path& directory);

// Creates the file's directory if missing and makes sure the file can be
// written: an existing file is opened for writing without being changed, a
// new one is created and removed again. With `mustBeNew`, an existing file
// is refused instead.
void checkOutputFile(const std::filesystem::path& file, bool mustBeNew = false);

} // namespace velmorcli
