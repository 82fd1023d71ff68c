#include "clasterror.h"

#include <string>

namespace {

thread_local std::string tText;
thread_local const char* tShown = "";

template <typename Compose>
void store(Compose&& compose) noexcept
{
    try {
        compose(tText);
        tShown = tText.c_str();
    } catch (...) {
        // Storing the text is what ran out of memory: a static one remains.
        tShown = "Out of memory";
    }
}

} // namespace

void CLastError::set(const char* text) noexcept
{
    store([text](std::string& stored) { stored.assign(text); });
}

void CLastError::set(const char* function, const char* text) noexcept
{
    store([function, text](std::string& stored) { stored.assign(function).append(": ").append(text); });
}

const char* CLastError::text() noexcept
{
    return tShown;
}
