#include "umockdevrestart.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool hasUmockdevPreload()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload.so") != nullptr;
}

// The preload library comes before the ASan runtime in the load order, which
// ASan refuses by default; its interceptors still work behind it.
void allowPreloadBeforeAsan()
{
    const char* current = std::getenv("ASAN_OPTIONS");
    const std::string option = "verify_asan_link_order=0";
    const std::string value = current != nullptr && *current != '\0' ? std::string(current) + ":" + option : option;
    setenv("ASAN_OPTIONS", value.c_str(), 1);
}

} // namespace

void runUnderUmockdevPreload(int argc, char** argv)
{
    if (hasUmockdevPreload()) {
        return;
    }
    allowPreloadBeforeAsan();
    std::vector<char*> arguments{const_cast<char*>(VELMOR_UMOCKDEV_WRAPPER)};
    arguments.insert(arguments.end(), argv, argv + argc);
    arguments.push_back(nullptr);
    execvp(arguments.front(), arguments.data());
    std::fprintf(stderr, "cannot run %s: %s\n", arguments.front(), std::strerror(errno));
    std::exit(EXIT_FAILURE);
}
