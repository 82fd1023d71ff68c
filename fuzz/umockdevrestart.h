#pragma once

// The virtual USB bus only reaches a process through umockdev's preload
// library, and libFuzzer owns main(). A process started without the preload
// starts over here under umockdev-wrapper with the same arguments; one that
// has it (including libFuzzer's -fork and -jobs children, which inherit the
// environment) returns at once.
void runUnderUmockdevPreload(int argc, char** argv);
