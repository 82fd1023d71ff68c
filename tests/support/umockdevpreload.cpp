// The virtual USB bus only reaches a process through umockdev's preload
// library, so a run started without it (ctest, or a developer typing the
// binary's name) starts over under umockdev-wrapper with the same arguments.

#include "support/umockdevpreload.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELMOR_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define VELMOR_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELMOR_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define VELMOR_TSAN 1
#endif

namespace {

bool runsUnderUmockdevPreload()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload.so") != nullptr;
}

[[maybe_unused]] void appendSanitizerOption(const char* variable, const std::string& option)
{
    const char* current = std::getenv(variable);
    const std::string value = current != nullptr && *current != '\0' ? std::string(current) + ":" + option : option;
    setenv(variable, value.c_str(), 1);
}

void prepareSanitizersForPreload()
{
#ifdef VELMOR_ASAN
    // The preload library comes before the ASan runtime in the load order,
    // which ASan refuses by default; its interceptors still work behind it.
    appendSanitizerOption("ASAN_OPTIONS", "verify_asan_link_order=0");
#endif
#ifdef VELMOR_TSAN
    appendSanitizerOption("TSAN_OPTIONS", "suppressions=" VELMOR_TSAN_SUPPRESSIONS);
#endif
}

[[noreturn]] void restartUnderUmockdev(int argc, char** argv)
{
    prepareSanitizersForPreload();
    std::vector<char*> arguments{const_cast<char*>(VELMOR_UMOCKDEV_WRAPPER)};
    arguments.insert(arguments.end(), argv, argv + argc);
    arguments.push_back(nullptr);
    execvp(arguments.front(), arguments.data());
    std::fprintf(stderr, "cannot run %s: %s\n", arguments.front(), std::strerror(errno));
    std::exit(EXIT_FAILURE);
}

} // namespace

void restartUnderUmockdevUnlessPreloaded(int argc, char** argv)
{
    if (!runsUnderUmockdevPreload()) {
        restartUnderUmockdev(argc, argv);
    }
}
