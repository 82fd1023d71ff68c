// Every public header compiles on its own in a host project, and the
// exported classes link.
#include <velmor/byteconverter.h>
#include <velmor/libusbinterface.h>
#include <velmor/spectrometercallback.h>
#include <velmor/spectrometerdevice.h>
#include <velmor/vasklinkprotocol.h>
#include <velmor/velmor.h>
#include <velmor/velmor_c.h>

#include <iostream>

int main()
{
    Velmor marker;
    (void)marker;
    VaskLinkProtocol manager;
    std::cout << std::hex << "looking for " << VaskLinkProtocol::TARGET_VID << ":" << VaskLinkProtocol::TARGET_PID
              << ", replies up to " << std::dec << SpectrometerDevice::MAX_RX_LENGTH << " bytes, minimum clock firmware "
              << minFirmwareDateTime.toString() << std::endl;
    return ByteConverter::convert<uint16_t>({0x34, 0x12}, 0, true) == 0x1234 ? 0 : 1;
}
