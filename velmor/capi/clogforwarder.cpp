#include "clogforwarder.h"

#include "ccallbackscope.h"
#include "velmor/logsink.h"

#include <memory>
#include <mutex>

namespace {

struct LogTarget {
    velmor_log_callback callback;
    void* user;
};

// The installed target; replaced only under the mutex, freed only after the
// sink no longer calls it.
std::mutex gInstallMutex;
std::unique_ptr<LogTarget> gTarget;

} // namespace

void CLogForwarder::install(velmor_log_callback callback, void* user)
{
    std::lock_guard<std::mutex> lock(gInstallMutex);
    std::unique_ptr<LogTarget> target = callback == nullptr ? nullptr : std::make_unique<LogTarget>(LogTarget{callback, user});
    velmor_detail::LogSink::setHandler(target ? &CLogForwarder::forward : nullptr, target.get());
    gTarget = std::move(target);
}

void CLogForwarder::forward(int stream, const char* line, void* target)
{
    const LogTarget& host = *static_cast<const LogTarget*>(target);
    CCallbackScope scope(CCallbackScope::LOG_HANDLER);
    host.callback(host.user, stream, line);
}
