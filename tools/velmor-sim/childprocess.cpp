#include "childprocess.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace velmorsim {
namespace {

std::vector<std::string> mergedEnvironment(const std::map<std::string, std::string>& overrides)
{
    std::vector<std::string> merged;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (overrides.count(variable.substr(0, variable.find('='))) == 0) {
            merged.push_back(variable);
        }
    }
    for (const auto& [name, value] : overrides) {
        merged.push_back(name + "=" + value);
    }
    return merged;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& text : strings) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

// While the child runs, Ctrl-C reaches it through the terminal; the parent
// must outlive it to keep serving its devices.
class IgnoreInterruptsWhileWaiting {
public:
    IgnoreInterruptsWhileWaiting()
    {
        struct sigaction ignore{};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGINT, &ignore, &mPrevious);
    }
    ~IgnoreInterruptsWhileWaiting() { sigaction(SIGINT, &mPrevious, nullptr); }
    IgnoreInterruptsWhileWaiting(const IgnoreInterruptsWhileWaiting&) = delete;
    IgnoreInterruptsWhileWaiting& operator=(const IgnoreInterruptsWhileWaiting&) = delete;

private:
    struct sigaction mPrevious{};
};

} // namespace

int runChildProcess(const std::vector<std::string>& command, const std::map<std::string, std::string>& environment)
{
    std::vector<std::string> arguments = command;
    std::vector<std::string> variables = mergedEnvironment(environment);
    std::vector<char*> argv = pointersTo(arguments);
    std::vector<char*> envp = pointersTo(variables);

    pid_t child = 0;
    const int spawned = posix_spawnp(&child, argv[0], nullptr, nullptr, argv.data(), envp.data());
    if (spawned != 0) {
        throw std::runtime_error("cannot run " + command.front() + ": " + std::strerror(spawned));
    }
    IgnoreInterruptsWhileWaiting ignoreInterrupts;
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error(std::string("waiting for the program failed: ") + std::strerror(errno));
        }
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return WEXITSTATUS(status);
}

} // namespace velmorsim
