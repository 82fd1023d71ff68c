// A host program's view of velmor.dll: the headers in dllimport mode and the
// import library only. Checks what breaks first when the DLL's interface is
// set up wrongly: exported static data, a host class deriving from the
// exported callback (its type information and virtual table live in the
// DLL), and exceptions thrown inside the DLL reaching the host with their
// type, though the DLL carries its own copy of the C++ runtime.
#include <velmor/spectrometercallback.h>
#include <velmor/spectrometerdevice.h>
#include <velmor/vasklinkprotocol.h>
#include <velmor/velmor.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#ifdef VELMOR_BUILDING_LIBRARY
#error "the host test must see the headers as a host does, in dllimport mode"
#endif

namespace {

class HostCallback : public SpectrometerCallback {
public:
    explicit HostCallback(bool& destroyed) : mDestroyed(destroyed) {}
    ~HostCallback() override { mDestroyed = true; }

    void onDataReceived(std::string, const std::vector<float>&, const std::vector<float>&) override {}
    void onDataReceivedBanch(std::string, const std::vector<float>&,
                             const std::vector<std::vector<float>>&) override
    {
    }
    void onError(std::string, const std::string&) override {}

private:
    bool& mDestroyed;
};

TEST(DllHost, StaticDataMembersAreImported)
{
    EXPECT_EQ(VaskLinkProtocol::TARGET_VID, VELMOR_EXPECTED_VID);
    EXPECT_EQ(VaskLinkProtocol::TARGET_PID, VELMOR_EXPECTED_PID);
    EXPECT_GT(SpectrometerDevice::MAX_RX_LENGTH, 0);
}

TEST(DllHost, HostClassDerivesFromTheExportedCallback)
{
    bool destroyed = false;
    std::unique_ptr<SpectrometerCallback> callback = std::make_unique<HostCallback>(destroyed);
    EXPECT_NE(dynamic_cast<HostCallback*>(callback.get()), nullptr);
    EXPECT_TRUE(typeid(*callback) == typeid(HostCallback));
    callback.reset();
    EXPECT_TRUE(destroyed) << "deleting through the base must reach the host's destructor";
}

TEST(DllHost, LibraryExceptionsKeepTheirTypeInTheHost)
{
    Velmor marker;
    (void)marker;
    VaskLinkProtocol manager;
    EXPECT_EQ(manager.getConnectedDeviceCount(), 0u);
    EXPECT_THROW(manager.getDevice(0), std::out_of_range);
    try {
        manager.setSubtractDark(true, -1);
        ADD_FAILURE() << "setSubtractDark without devices must throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "No devices connected");
    }
}

} // namespace
