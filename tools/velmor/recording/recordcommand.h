#pragma once

#include "acquisition/libraryoutput.h"
#include "cli/commandline.h"

namespace velmorcli {

// 'velmor record': streams every spectrometer into one HDF5 file until
// Ctrl-C, --duration or --count. Throws CommandFailure when the file cannot
// be made or written (the devices are stopped first; the file keeps what was
// flushed) or a device's stream failed.
void recordSpectra(const Options& options, LibraryOutput& output);

} // namespace velmorcli
