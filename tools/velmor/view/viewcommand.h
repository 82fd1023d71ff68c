#pragma once

#include "cli/commandline.h"
#include "acquisition/libraryoutput.h"

namespace velmorview {

// 'velmor view': connects every spectrometer, measures continuously and
// serves the live page until Ctrl-C, then stops the devices.
void runView(const velmorcli::Options& options, velmorcli::LibraryOutput& output);

} // namespace velmorview
