#define G_LOG_DOMAIN "velmorsim"

#include "simulator/usbbusdevice.h"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <exception>
#include <utility>

namespace velmorsim::usbbus {

namespace {

// One URB per transfer whatever its size, so that the function sees each
// host transfer whole. Bulk continuation must stay unadvertised: libusb
// would then split transfers into 16 KiB URBs.
constexpr uint32_t Capabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;

// Answers that may change by themselves within a few milliseconds; see
// serve(). The marker stands for the answer until the retries run out.
struct Tentative {
    long marker;
    long answer;
    int retries;
};

// The kernel releases a claim when its file is closed, but umockdev learns
// of the close on a later turn of its main loop.
constexpr Tentative ContendedClaim{LONG_MIN, -EBUSY, 10};

// The mocked node always polls ready, so a host waiting for a transfer reaps
// as fast as it can; waiting a little before saying "nothing yet" keeps it
// from spinning.
constexpr Tentative NothingToReap{LONG_MIN + 1, -EAGAIN, 1};

constexpr guint RetryIntervalMs = 1;

constexpr char KernelDriverName[] = "simdriver";
constexpr char UsbfsDriverName[] = "usbfs";

GObjectPtr<UMockdevIoctlData> resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length)
{
    GErrorSlot error;
    UMockdevIoctlData* child = umockdev_ioctl_data_resolve(parent, offset, length, error.out());
    if (child == nullptr) {
        error.raise("cannot reach the memory behind an ioctl argument");
    }
    return adoptObject(child);
}

template <typename T>
T read(const UMockdevIoctlData* data, std::size_t offset = 0)
{
    T value{};
    const auto available = static_cast<std::size_t>(data->data_len);
    std::memcpy(&value, data->data + offset, std::min(sizeof(T), available > offset ? available - offset : 0));
    return value;
}

template <typename T>
T readPointee(UMockdevIoctlData* arg)
{
    return read<T>(resolve(arg, 0, sizeof(T)).get());
}

template <typename T>
void write(UMockdevIoctlData* data, std::size_t offset, const T& value)
{
    std::memcpy(data->data + offset, &value, sizeof(T));
}

void setResult(UMockdevIoctlData* urbHeader, int status, std::size_t actualLength)
{
    write(urbHeader, offsetof(usbdevfs_urb, status), status);
    write(urbHeader, offsetof(usbdevfs_urb, actual_length), static_cast<int>(actualLength));
}

std::optional<uint8_t> lastBulkEndpoint(const std::vector<Endpoint>& endpoints, bool in)
{
    const auto found = std::find_if(endpoints.rbegin(), endpoints.rend(), [in](const Endpoint& endpoint) {
        return endpoint.type == TransferType::Bulk && endpoint.isIn() == in;
    });
    return found == endpoints.rend() ? std::nullopt : std::optional<uint8_t>(found->address);
}

} // namespace

UsbfsDevice::UsbfsDevice(std::shared_ptr<UsbFunction> function, std::vector<Endpoint> endpoints,
                         KernelDriver kernelDriver, bool claimFails)
    : function_(std::move(function)),
      endpoints_(std::move(endpoints)),
      functionOut_(lastBulkEndpoint(endpoints_, false)),
      functionIn_(lastBulkEndpoint(endpoints_, true)),
      kernelDriver_(kernelDriver),
      claimFails_(claimFails),
      handler_(adoptObject(umockdev_ioctl_base_new())),
      kernelDriverBound_(kernelDriver != KernelDriver::None)
{
    g_signal_connect(handler_.get(), "handle-ioctl", G_CALLBACK(&UsbfsDevice::onHandleIoctl), this);
    g_signal_connect(handler_.get(), "client-connected", G_CALLBACK(&UsbfsDevice::onClientConnected), this);
}

// The serving thread may have served this device a moment ago, and runs
// until the members are destroyed: the lock orders its touches of the
// queues around their clearing.
UsbfsDevice::~UsbfsDevice()
{
    g_signal_handlers_disconnect_by_data(handler_.get(), this);
    std::lock_guard lock(mutex_);
    for (const auto& [client, generation] : clientGenerations_) {
        g_object_weak_unref(G_OBJECT(client), &UsbfsDevice::onClientFinalized, this);
    }
    clientGenerations_.clear();
    pending_.clear();
    completed_.clear();
}

void UsbfsDevice::unplug()
{
    std::lock_guard lock(mutex_);
    plugged_ = false;
    claimOwner_ = nullptr;
    function_->unplugged();
}

void UsbfsDevice::replug()
{
    std::lock_guard lock(mutex_);
    plugged_ = true;
    ++generation_;
    kernelDriverBound_ = kernelDriver_ != KernelDriver::None;
}

bool UsbfsDevice::interfaceClaimed() const
{
    std::lock_guard lock(mutex_);
    return claimOwner_ != nullptr;
}

int UsbfsDevice::kernelDriverDetachCount() const
{
    std::lock_guard lock(mutex_);
    return detachCount_;
}

// umockdev's worker reads the requests of every device. It answers at once
// what is only bookkeeping, and hands to the device's own thread whatever may
// call the function, which may take its time as a real device does: every
// hand-over costs a thread switch.
gboolean UsbfsDevice::onHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    auto* device = static_cast<UsbfsDevice*>(self);
    if (device->reachesFunction(client)) {
        device->serveOnOwnThread(GSourcePtr(g_idle_source_new()), client, 0);
    } else {
        device->serve(client, 0);
    }
    return TRUE;
}

// A submitted transfer goes to the function; a reap asks it again for the
// data of an IN transfer that waits.
bool UsbfsDevice::reachesFunction(UMockdevIoctlClient* client)
{
    const gulong request = umockdev_ioctl_client_get_request(client);
    if (request == USBDEVFS_SUBMITURB) {
        return true;
    }
    if (request != USBDEVFS_REAPURB && request != USBDEVFS_REAPURBNDELAY) {
        return false;
    }
    std::lock_guard lock(mutex_);
    return waitingFunctionIn(client) != pending_.end();
}

gboolean UsbfsDevice::onServe(gpointer request)
{
    const auto* handed = static_cast<Request*>(request);
    handed->device->serve(handed->client.get(), handed->retriesDone);
    return G_SOURCE_REMOVE;
}

// A tentative answer is not given at once: the request is handled again a
// little later, which umockdev allows as long as it is completed eventually.
void UsbfsDevice::serve(UMockdevIoctlClient* client, int retriesDone)
{
    std::lock_guard lock(mutex_);
    long result = handle(client);
    for (const Tentative& tentative : {ContendedClaim, NothingToReap}) {
        if (result != tentative.marker) {
            continue;
        }
        if (retriesDone < tentative.retries) {
            serveOnOwnThread(GSourcePtr(g_timeout_source_new(RetryIntervalMs)), client, retriesDone + 1);
            return;
        }
        result = tentative.answer;
    }
    if (result < 0) {
        umockdev_ioctl_client_complete(client, -1, static_cast<int>(-result));
    } else {
        umockdev_ioctl_client_complete(client, result, 0);
    }
}

void UsbfsDevice::serveOnOwnThread(GSourcePtr when, UMockdevIoctlClient* client, int retriesDone)
{
    auto request = std::make_unique<Request>(Request{this, shareObject(client), retriesDone});
    g_source_set_callback(when.get(), &UsbfsDevice::onServe, request.release(),
                          [](gpointer done) { const std::unique_ptr<Request> reclaimed(static_cast<Request*>(done)); });
    g_source_attach(when.get(), server_.context());
}

// umockdev never emits "client-vanished", but the client object is finalized
// as soon as the file descriptor is closed: a weak reference tells us.
void UsbfsDevice::onClientConnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    auto* device = static_cast<UsbfsDevice*>(self);
    std::lock_guard lock(device->mutex_);
    device->clientGenerations_[client] = device->generation_;
    g_object_weak_ref(G_OBJECT(client), &UsbfsDevice::onClientFinalized, device);
}

void UsbfsDevice::onClientFinalized(gpointer self, GObject* client)
{
    auto* device = static_cast<UsbfsDevice*>(self);
    std::lock_guard lock(device->mutex_);
    device->forget(reinterpret_cast<UMockdevIoctlClient*>(client));
}

// Closing a usbfs file releases its interface and drops its URBs.
void UsbfsDevice::forget(UMockdevIoctlClient* client)
{
    clientGenerations_.erase(client);
    if (claimOwner_ == client) {
        claimOwner_ = nullptr;
    }
    const auto ownedByClient = [client](const Urb& urb) { return urb.client == client; };
    pending_.remove_if(ownedByClient);
    completed_.erase(std::remove_if(completed_.begin(), completed_.end(), ownedByClient), completed_.end());
}

long UsbfsDevice::handle(UMockdevIoctlClient* client)
{
    const gulong request = umockdev_ioctl_client_get_request(client);
    try {
        return dispatch(client, request, umockdev_ioctl_client_get_arg(client));
    } catch (const std::exception& error) {
        g_warning("simulated usbfs request 0x%lx failed: %s", request, error.what());
        return -EIO;
    }
}

long UsbfsDevice::dispatch(UMockdevIoctlClient* client, gulong request, UMockdevIoctlData* arg)
{
    // Reaping goes on after an unplug, so that URBs completed with ENODEV
    // reach the host.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        return reap(client, arg);
    }
    if (!isLive(client)) {
        return -ENODEV;
    }
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES:
        write(resolve(arg, 0, sizeof Capabilities).get(), 0, Capabilities);
        return 0;
    case USBDEVFS_CLAIMINTERFACE:
        return claimInterface(client, readPointee<unsigned>(arg));
    case USBDEVFS_RELEASEINTERFACE:
        return releaseInterface(client, readPointee<unsigned>(arg));
    case USBDEVFS_GETDRIVER:
        return getDriver(arg);
    case USBDEVFS_IOCTL:
        return interfaceIoctl(arg);
    case USBDEVFS_DISCONNECT_CLAIM:
        return disconnectAndClaim(client, arg);
    case USBDEVFS_SETCONFIGURATION:
        return readPointee<int>(arg) == 1 ? 0 : -EINVAL;
    case USBDEVFS_CLEAR_HALT:
        return clearHalt(arg);
    case USBDEVFS_SUBMITURB:
        return submit(client, arg);
    case USBDEVFS_DISCARDURB:
        return discard(client, arg);
    default:
        g_debug("usbfs request 0x%lx is not simulated", request);
        return -ENOTTY;
    }
}

bool UsbfsDevice::isLive(UMockdevIoctlClient* client) const
{
    const auto found = clientGenerations_.find(client);
    return plugged_ && found != clientGenerations_.end() && found->second == generation_;
}

long UsbfsDevice::claimInterface(UMockdevIoctlClient* client, unsigned interface)
{
    if (interface != 0) {
        return -ENOENT;
    }
    if (claimOwner_ == client) {
        return 0;
    }
    if (claimOwner_ != nullptr) {
        return ContendedClaim.marker;
    }
    if (claimFails_ || kernelDriverBound_) {
        return -EBUSY;
    }
    claimOwner_ = client;
    return 0;
}

long UsbfsDevice::releaseInterface(UMockdevIoctlClient* client, unsigned interface)
{
    if (interface != 0 || claimOwner_ != client) {
        return -EINVAL;
    }
    claimOwner_ = nullptr;
    return 0;
}

long UsbfsDevice::getDriver(UMockdevIoctlData* arg) const
{
    const auto query = resolve(arg, 0, sizeof(usbdevfs_getdriver));
    const char* driver = claimOwner_ != nullptr ? UsbfsDriverName : kernelDriverBound_ ? KernelDriverName : nullptr;
    if (read<usbdevfs_getdriver>(query.get()).interface != 0 || driver == nullptr) {
        return -ENODATA;
    }
    std::memcpy(query->data + offsetof(usbdevfs_getdriver, driver), driver, std::strlen(driver) + 1);
    return 0;
}

long UsbfsDevice::interfaceIoctl(UMockdevIoctlData* arg)
{
    const auto command = readPointee<usbdevfs_ioctl>(arg);
    if (command.ifno != 0) {
        return -EINVAL;
    }
    switch (static_cast<unsigned long>(command.ioctl_code)) {
    case USBDEVFS_DISCONNECT:
        return detachKernelDriver();
    case USBDEVFS_CONNECT:
        // A claimed interface counts as bound to usbfs already.
        return claimOwner_ != nullptr ? 0 : attachKernelDriver();
    default:
        return -ENOTTY;
    }
}

// What libusb uses to claim when it detaches kernel drivers automatically.
long UsbfsDevice::disconnectAndClaim(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    const auto request = readPointee<usbdevfs_disconnect_claim>(arg);
    if (request.interface != 0) {
        return -EINVAL;
    }
    if (kernelDriverBound_) {
        const bool named = std::strncmp(request.driver, KernelDriverName, sizeof request.driver) == 0;
        const bool onlyIfNamed = (request.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0;
        const bool unlessNamed = (request.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0;
        if ((onlyIfNamed && !named) || (unlessNamed && named)) {
            return -EBUSY;
        }
        if (const long detached = detachKernelDriver(); detached < 0) {
            return detached;
        }
    }
    return claimInterface(client, request.interface);
}

long UsbfsDevice::detachKernelDriver()
{
    if (!kernelDriverBound_) {
        return -ENODATA;
    }
    if (kernelDriver_ == KernelDriver::ActiveUndetachable) {
        return -EPERM;
    }
    kernelDriverBound_ = false;
    ++detachCount_;
    return 0;
}

// Like the kernel, answers 1 when a driver got bound and 0 when none did.
long UsbfsDevice::attachKernelDriver()
{
    if (kernelDriver_ == KernelDriver::None || kernelDriverBound_) {
        return 0;
    }
    kernelDriverBound_ = true;
    return 1;
}

long UsbfsDevice::clearHalt(UMockdevIoctlData* arg) const
{
    const auto endpoint = static_cast<uint8_t>(readPointee<unsigned>(arg));
    return routeOf(endpoint) == Route::Missing ? -ENOENT : 0;
}

UsbfsDevice::Route UsbfsDevice::routeOf(uint8_t endpoint) const
{
    if ((endpoint & 0x7f) == 0) {
        return Route::Control;
    }
    if (endpoint == functionOut_) {
        return Route::FunctionOut;
    }
    if (endpoint == functionIn_) {
        return Route::FunctionIn;
    }
    const bool listed = std::any_of(endpoints_.begin(), endpoints_.end(),
                                    [endpoint](const Endpoint& candidate) { return candidate.address == endpoint; });
    return listed ? Route::Silent : Route::Missing;
}

long UsbfsDevice::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    auto header = resolve(arg, 0, sizeof(usbdevfs_urb));
    const auto endpoint = read<uint8_t>(header.get(), offsetof(usbdevfs_urb, endpoint));
    const auto bufferLength = read<int>(header.get(), offsetof(usbdevfs_urb, buffer_length));
    if (bufferLength < 0) {
        return -EINVAL;
    }
    const auto length = static_cast<std::size_t>(bufferLength);
    auto buffer = length > 0 ? resolve(header.get(), offsetof(usbdevfs_urb, buffer), length) : nullptr;
    Urb urb{client, endpoint, length, std::move(header), std::move(buffer)};

    const Route route = routeOf(urb.endpoint);
    if (route == Route::Missing) {
        return -ENOENT;
    }
    if (route == Route::Control) {
        // No control request is simulated: the device stalls them all.
        complete(std::move(urb), -EPIPE, 0);
        return 0;
    }
    // As usbfs does, a transfer claims the interface if nobody did.
    if (const long claimed = claimInterface(client, 0); claimed < 0) {
        return claimed;
    }
    switch (route) {
    case Route::FunctionOut:
        transferOut(std::move(urb));
        break;
    case Route::FunctionIn:
        transferIn(std::move(urb));
        break;
    default:
        pending_.push_back(std::move(urb));
        break;
    }
    return 0;
}

void UsbfsDevice::transferOut(Urb urb)
{
    const std::vector<uint8_t> data = urb.buffer ? std::vector<uint8_t>(urb.buffer->data, urb.buffer->data + urb.length)
                                                 : std::vector<uint8_t>{};
    const std::size_t accepted = std::min(function_->receiveBulkOut(data), urb.length);
    complete(std::move(urb), 0, accepted);
}

// IN transfers on one endpoint complete in order: a new one only asks the
// function when none of the same client is waiting ahead of it.
void UsbfsDevice::transferIn(Urb urb)
{
    const bool queuedBehindOthers = std::any_of(pending_.begin(), pending_.end(), [&urb](const Urb& other) {
        return other.client == urb.client && other.endpoint == urb.endpoint;
    });
    if (!queuedBehindOthers && fillFromFunction(urb)) {
        completed_.push_back(std::move(urb));
    } else {
        pending_.push_back(std::move(urb));
    }
}

std::list<UsbfsDevice::Urb>::iterator UsbfsDevice::waitingFunctionIn(UMockdevIoctlClient* client)
{
    return std::find_if(pending_.begin(), pending_.end(), [this, client](const Urb& urb) {
        return urb.client == client && urb.endpoint == functionIn_;
    });
}

void UsbfsDevice::pollFunctionIn(UMockdevIoctlClient* client)
{
    const auto head = waitingFunctionIn(client);
    if (head != pending_.end() && fillFromFunction(*head)) {
        completed_.push_back(std::move(*head));
        pending_.erase(head);
    }
}

bool UsbfsDevice::fillFromFunction(Urb& urb)
{
    const auto reply = function_->sendBulkIn(urb.length);
    if (!reply) {
        return false;
    }
    const std::size_t copied = std::min(reply->size(), urb.length);
    if (copied > 0) {
        std::memcpy(urb.buffer->data, reply->data(), copied);
    }
    setResult(urb.header.get(), reply->size() > urb.length ? -EOVERFLOW : 0, copied);
    return true;
}

void UsbfsDevice::complete(Urb urb, int status, std::size_t actualLength)
{
    setResult(urb.header.get(), status, actualLength);
    completed_.push_back(std::move(urb));
}

// URB memory is only ever touched while one of its client's requests is
// served, so a device that went away fails the URBs of a client when that
// client next reaps.
void UsbfsDevice::failPending(UMockdevIoctlClient* client, int status)
{
    for (auto urb = pending_.begin(); urb != pending_.end();) {
        if (urb->client == client) {
            complete(std::move(*urb), status, 0);
            urb = pending_.erase(urb);
        } else {
            ++urb;
        }
    }
}

// usbfs hands back the client's own URB pointer; set_ptr makes umockdev
// write it, and flush the URB fields and data we changed, into the client.
long UsbfsDevice::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    if (isLive(client)) {
        pollFunctionIn(client);
    } else {
        failPending(client, -ENODEV);
    }
    const auto ownedByClient = [client](const Urb& urb) { return urb.client == client; };
    const auto done = std::find_if(completed_.begin(), completed_.end(), ownedByClient);
    if (done == completed_.end()) {
        const bool waiting = std::any_of(pending_.begin(), pending_.end(), ownedByClient);
        return !isLive(client) ? -ENODEV : waiting ? NothingToReap.marker : -EAGAIN;
    }
    const auto urbPointer = resolve(arg, 0, sizeof(void*));
    umockdev_ioctl_data_set_ptr(urbPointer.get(), 0, done->header.get());
    completed_.erase(done);
    return 0;
}

long UsbfsDevice::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    const auto urbAddress = read<gulong>(arg);
    const auto found = std::find_if(pending_.begin(), pending_.end(), [client, urbAddress](const Urb& urb) {
        return urb.client == client && urb.header->client_addr == urbAddress;
    });
    if (found == pending_.end()) {
        return -EINVAL;
    }
    complete(std::move(*found), -ENOENT, 0);
    pending_.erase(found);
    return 0;
}

} // namespace velmorsim::usbbus
