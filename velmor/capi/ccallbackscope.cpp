#include "ccallbackscope.h"

namespace {

thread_local const void* tOwner = nullptr;
const char gLogHandlerOwner = 0;

} // namespace

const void* const CCallbackScope::LOG_HANDLER = &gLogHandlerOwner;

CCallbackScope::CCallbackScope(const void* owner) noexcept : mOuterOwner(tOwner)
{
    tOwner = owner;
}

CCallbackScope::~CCallbackScope()
{
    tOwner = mOuterOwner;
}

bool CCallbackScope::active() noexcept
{
    return tOwner != nullptr;
}

bool CCallbackScope::activeFor(const void* owner) noexcept
{
    return tOwner == owner;
}
