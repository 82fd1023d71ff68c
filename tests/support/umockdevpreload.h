#pragma once

// Returns at once in a process that runs with umockdev's preload library;
// otherwise starts the program over under umockdev-wrapper with the same
// arguments (and the sanitizer options the preload needs), never returning.
void restartUnderUmockdevUnlessPreloaded(int argc, char** argv);
