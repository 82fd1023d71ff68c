#pragma once

#include "cli/commandline.h"
#include "acquisition/libraryoutput.h"

namespace velmorcli {

// Runs the command chosen on the command line and returns the exit status;
// failures are reported on the tool's message stream.
int runCommand(const Options& options, LibraryOutput& output);

} // namespace velmorcli
