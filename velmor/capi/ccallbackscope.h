#pragma once

// Marks the current thread as running a host callback for as long as the
// object lives. Calls that would wait for this very thread (start, stop,
// connect, disconnect) check it and refuse instead of deadlocking.
class CCallbackScope {
public:
    // The owner of a log-line callback, which belongs to no manager.
    static const void* const LOG_HANDLER;

    // `owner`: the manager whose measurement makes the callback, or LOG_HANDLER.
    explicit CCallbackScope(const void* owner) noexcept;
    ~CCallbackScope();

    CCallbackScope(const CCallbackScope&) = delete;
    CCallbackScope& operator=(const CCallbackScope&) = delete;

    static bool active() noexcept;
    static bool activeFor(const void* owner) noexcept;

private:
    const void* mOuterOwner;
};
