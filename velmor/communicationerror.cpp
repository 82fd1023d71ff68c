#include <velmor/communicationerror.h>

CommunicationError::CommunicationError(Kind kind, const std::string& what, uint32_t command, uint32_t returnCode,
                                       int libusbError)
    : std::runtime_error(what), mKind(kind), mCommand(command), mReturnCode(returnCode), mLibusbError(libusbError)
{
}

CommunicationError::Kind CommunicationError::kind() const noexcept
{
    return mKind;
}

uint32_t CommunicationError::command() const noexcept
{
    return mCommand;
}

uint32_t CommunicationError::returnCode() const noexcept
{
    return mReturnCode;
}

int CommunicationError::libusbError() const noexcept
{
    return mLibusbError;
}
