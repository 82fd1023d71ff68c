#include "usbtransfererror.h"

UsbTransferError::UsbTransferError(const std::string& what, int libusbError)
    : std::runtime_error(what), mLibusbError(libusbError)
{
}

int UsbTransferError::libusbError() const noexcept
{
    return mLibusbError;
}
