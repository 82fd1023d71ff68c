#pragma once

#include "acquisition/libraryoutput.h"
#include "view/viewoptions.h"

namespace velmorview {

// 'velmor view': connects every spectrometer, measures continuously and
// serves the live page until Ctrl-C, then stops the devices.
void runView(const ViewOptions& options, velmorcli::LibraryOutput& output);

} // namespace velmorview
