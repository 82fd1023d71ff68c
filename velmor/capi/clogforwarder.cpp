#include "clogforwarder.h"

#include "ccallbackscope.h"
#include "velmor/velmorhost.h"

#include <string>

void CLogForwarder::install(velmor_log_callback callback, void* user)
{
    if (callback == nullptr) {
        velmor::setLogHandler(nullptr);
        return;
    }
    velmor::setLogHandler([callback, user](velmor::LogStream stream, const std::string& line) {
        CCallbackScope scope(CCallbackScope::LOG_HANDLER);
        callback(user, static_cast<int32_t>(stream), line.c_str());
    });
}
