#pragma once

#include "simulator/usbbusdescriptors.h"
#include "simulator/servingthread.h"
#include "simulator/usbbusglib.h"
#include "simulator/usbfunction.h"
#include "simulator/virtualusbbus.h"

#include <umockdev.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace velmorsim::usbbus {

// The kernel side of /dev/bus/usb/BBB/DDD for one simulated device: answers
// the usbfs ioctls libusb issues and carries bulk transfers to the function.
// Requests arrive on umockdev's worker thread, which is shared by every
// device; those that may call the function (and their retries) are handed
// over to this device's own serving thread, so that a device slow to answer
// holds up no other. The public methods may be called from any thread.
//
// The handler stays attached for the device's whole life (umockdev cannot
// attach a path twice), so unplugging is a state of this object: handles
// opened before an unplug stay dead after a replug, as a stale usbfs file
// descriptor does.
class UsbfsDevice {
public:
    UsbfsDevice(std::shared_ptr<UsbFunction> function, std::vector<Endpoint> endpoints, KernelDriver kernelDriver,
                bool claimFails);
    // Only once umockdev's worker has stopped, i.e. after the testbed is gone.
    ~UsbfsDevice();

    UsbfsDevice(const UsbfsDevice&) = delete;
    UsbfsDevice& operator=(const UsbfsDevice&) = delete;

    UMockdevIoctlBase* ioctlHandler() const { return handler_.get(); }

    void unplug();
    void replug();

    bool interfaceClaimed() const;
    int kernelDriverDetachCount() const;

private:
    struct Urb {
        UMockdevIoctlClient* client;
        uint8_t endpoint;
        std::size_t length;
        GObjectPtr<UMockdevIoctlData> header; // the client's struct usbdevfs_urb
        GObjectPtr<UMockdevIoctlData> buffer; // its data; null when empty
    };

    struct Request {
        UsbfsDevice* device;
        GObjectPtr<UMockdevIoctlClient> client;
        int retriesDone;
    };

    enum class Route { Control, FunctionOut, FunctionIn, Silent, Missing };

    static gboolean onHandleIoctl(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
    static gboolean onServe(gpointer request);
    static void onClientConnected(UMockdevIoctlBase* handler, UMockdevIoctlClient* client, gpointer self);
    static void onClientFinalized(gpointer self, GObject* client);

    void serve(UMockdevIoctlClient* client, int retriesDone);
    bool reachesFunction(UMockdevIoctlClient* client);
    void serveOnOwnThread(GSourcePtr when, UMockdevIoctlClient* client, int retriesDone);
    long handle(UMockdevIoctlClient* client);
    long dispatch(UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg);
    bool isLive(UMockdevIoctlClient* client) const;
    void forget(UMockdevIoctlClient* client);

    long claimInterface(UMockdevIoctlClient* client, unsigned interface);
    long releaseInterface(UMockdevIoctlClient* client, unsigned interface);
    long getDriver(UMockdevIoctlData* arg) const;
    long interfaceIoctl(UMockdevIoctlData* arg);
    long disconnectAndClaim(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    long detachKernelDriver();
    long attachKernelDriver();
    long clearHalt(UMockdevIoctlData* arg) const;

    long submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    long reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    long discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    Route routeOf(uint8_t endpoint) const;
    void transferOut(Urb urb);
    void transferIn(Urb urb);
    std::list<Urb>::iterator waitingFunctionIn(UMockdevIoctlClient* client);
    void pollFunctionIn(UMockdevIoctlClient* client);
    bool fillFromFunction(Urb& urb);
    void complete(Urb urb, int status, std::size_t actualLength);
    void failPending(UMockdevIoctlClient* client, int status);

    const std::shared_ptr<UsbFunction> function_;
    const std::vector<Endpoint> endpoints_;
    const std::optional<uint8_t> functionOut_;
    const std::optional<uint8_t> functionIn_;
    const KernelDriver kernelDriver_;
    const bool claimFails_;
    const GObjectPtr<UMockdevIoctlBase> handler_;

    mutable std::mutex mutex_;
    bool plugged_ = true;
    unsigned generation_ = 0;
    std::map<UMockdevIoctlClient*, unsigned> clientGenerations_;
    UMockdevIoctlClient* claimOwner_ = nullptr;
    bool kernelDriverBound_;
    int detachCount_ = 0;
    std::list<Urb> pending_;
    std::deque<Urb> completed_;

    // Last, so that it stops before anything it serves goes away.
    ServingThread server_;
};

} // namespace velmorsim::usbbus
