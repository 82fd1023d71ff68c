#include "view/accessguard.h"
#include "view/controlrequests.h"
#include "view/livespectra.h"
#include "view/requesterror.h"

#include <gtest/gtest.h>

#include <thread>

using namespace velmorview;

namespace {

int statusOf(const std::function<void()>& parse, std::string* reason = nullptr)
{
    try {
        parse();
    } catch (const RequestError& error) {
        if (reason != nullptr) {
            *reason = error.what();
        }
        return error.status();
    }
    return 0;
}

RequestFacts post(const std::string& host, const std::optional<std::string>& origin)
{
    RequestFacts facts;
    facts.host = host;
    facts.origin = origin;
    facts.controlsDevices = true;
    facts.changesState = true;
    return facts;
}

} // namespace

TEST(ControlRequests, ValidBodiesAreRead)
{
    const ControlRequests requests({"10001", "10002"});
    const AcquisitionSettings settings = requests.settings(R"({"exposureUs": 20000, "averaging": 3})");
    EXPECT_EQ(settings.exposureUs, 20000);
    EXPECT_EQ(settings.averaging, 3);
    EXPECT_TRUE(requests.running(R"({"running": true})"));
    const DarkRequest dark = requests.dark(R"({"device": "10002", "action": "off"})");
    EXPECT_EQ(dark.device, "10002");
    EXPECT_EQ(dark.action, DarkAction::SubtractionOff);
    EXPECT_EQ(requests.reference(R"({"device": "all"})"), "all");
    EXPECT_EQ(requests.trigger(R"({"mode": "external"})"), TriggerMode::EXTERNAL);
}

TEST(ControlRequests, BadBodiesAreRefusedWith400AndAReason)
{
    const ControlRequests requests({"10001"});
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { requests.settings("{not json"); }, "not JSON"},
        {[&] { requests.settings("[1, 2]"); }, "JSON object"},
        {[&] { requests.settings(R"({"averaging": 1})"); }, "'exposureUs' is missing"},
        {[&] { requests.settings(R"({"exposureUs": "100", "averaging": 1})"); }, "whole number"},
        {[&] { requests.settings(R"({"exposureUs": 2.5, "averaging": 1})"); }, "whole number"},
        {[&] { requests.settings(R"({"exposureUs": 0, "averaging": 1})"); }, "got 0"},
        {[&] { requests.settings(R"({"exposureUs": 99999999999, "averaging": 1})"); }, "got 99999999999"},
        {[&] { requests.settings(R"({"exposureUs": 1000000, "averaging": 1000})"); }, "lower the averaging"},
        {[&] { requests.running(R"({"running": "yes"})"); }, "true or false"},
        {[&] { requests.dark(R"({"device": "99999", "action": "take"})"); }, "no spectrometer"},
        {[&] { requests.dark(R"({"device": "10001", "action": "rm -rf"})"); }, "one of take, on, off"},
        {[&] { requests.trigger(R"({"mode": 2})"); }, "must be a string"},
    };
    for (const auto& [parse, expected] : cases) {
        std::string reason;
        EXPECT_EQ(statusOf(parse, &reason), 400) << expected;
        EXPECT_NE(reason.find(expected), std::string::npos) << reason;
    }
}

TEST(AccessGuard, LoopbackServerRefusesForeignHostNames)
{
    const AccessGuard guard("", 8321);
    RequestFacts page;
    page.host = "127.0.0.1:8321";
    EXPECT_FALSE(guard.check(page));
    page.host = "localhost:8321";
    EXPECT_FALSE(guard.check(page));
    page.host = "attacker.example:8321"; // DNS rebinding
    ASSERT_TRUE(guard.check(page));
    EXPECT_EQ(guard.check(page)->status, 403);
    page.host = "127.0.0.1:9999";
    EXPECT_TRUE(guard.check(page));
}

TEST(AccessGuard, StateChangesNeedThisServersOrigin)
{
    const AccessGuard guard("", 8321);
    EXPECT_FALSE(guard.check(post("127.0.0.1:8321", "http://127.0.0.1:8321")));
    EXPECT_EQ(guard.check(post("127.0.0.1:8321", std::nullopt))->status, 403);
    EXPECT_EQ(guard.check(post("127.0.0.1:8321", "http://evil.example"))->status, 403);
    EXPECT_EQ(guard.check(post("127.0.0.1:8321", "null"))->status, 403);
}

TEST(AccessGuard, WithATokenEveryApiRequestMustCarryIt)
{
    const std::string token = AccessGuard::generateToken();
    EXPECT_EQ(token.size(), 32u);
    EXPECT_NE(token, AccessGuard::generateToken());
    const AccessGuard guard(token, 9000);

    RequestFacts state;
    state.host = "lab-pc:9000";
    state.controlsDevices = true;
    EXPECT_EQ(guard.check(state)->status, 401);
    state.tokenParameter = token.substr(0, 31) + "x";
    EXPECT_EQ(guard.check(state)->status, 401);
    state.tokenParameter = token;
    EXPECT_FALSE(guard.check(state));

    RequestFacts control = post("lab-pc:9000", "http://lab-pc:9000");
    control.authorization = "Bearer " + token;
    EXPECT_FALSE(guard.check(control));
    control.origin = "http://elsewhere:9000";
    EXPECT_EQ(guard.check(control)->status, 403) << "the token does not excuse a foreign Origin";

    RequestFacts page;
    page.host = "lab-pc:9000";
    EXPECT_FALSE(guard.check(page)) << "the page itself holds nothing secret";
}

TEST(AccessGuard, ChosenTokensMustBeLongAndPlain)
{
    EXPECT_EQ(AccessGuard::tokenProblem("0123456789abcdef"), "");
    EXPECT_NE(AccessGuard::tokenProblem("short"), "");
    EXPECT_NE(AccessGuard::tokenProblem("0123456789abcdef&x=1"), "");
}

TEST(LiveSpectra, NewestSpectrumWinsAndReadersSkipWhatTheyMissed)
{
    LiveSpectra live({"10001", "10002"});
    for (int i = 1; i <= 1000; ++i) {
        live.publish("10001", {static_cast<float>(i)});
    }
    live.publish("unknown", {1.0f});
    const LiveSnapshot snapshot = live.snapshot();
    ASSERT_EQ(snapshot.devices.size(), 2u);
    EXPECT_EQ(snapshot.devices[0].received, 1000u);
    EXPECT_EQ(*snapshot.devices[0].counts, std::vector<float>{1000.0f});
    EXPECT_FALSE(snapshot.devices[1].counts);
    EXPECT_GT(snapshot.devices[0].spectraPerSecond, 0.0);
}

TEST(LiveSpectra, ReferenceKeepsTheSpectrumOfItsMoment)
{
    LiveSpectra live({"10001"});
    EXPECT_FALSE(live.storeReference("10001")) << "nothing delivered yet";
    live.setDarkSubtracted("10001", true);
    live.publish("10001", {100.0f});
    ASSERT_TRUE(live.storeReference("10001"));
    live.publish("10001", {50.0f});
    const DeviceView device = live.snapshot().devices[0];
    ASSERT_TRUE(device.reference);
    EXPECT_EQ(*device.reference->values, std::vector<float>{100.0f});
    EXPECT_TRUE(device.reference->darkSubtracted);
    EXPECT_EQ(*device.counts, std::vector<float>{50.0f});
}

TEST(LiveSpectra, WaitersWakeOnChangeAndOnClose)
{
    LiveSpectra live({"10001"});
    const uint64_t seen = live.snapshot().version;
    EXPECT_FALSE(live.waitForChange(seen, std::chrono::milliseconds(10)));
    std::thread publisher([&] { live.publish("10001", {1.0f}); });
    const auto changed = live.waitForChange(seen, std::chrono::seconds(5));
    publisher.join();
    ASSERT_TRUE(changed);
    EXPECT_GT(changed->version, seen);

    std::thread closer([&] { live.close(); });
    EXPECT_FALSE(live.waitForChange(changed->version, std::chrono::seconds(5)));
    closer.join();
    live.reportError("10001", "Timeout waiting for spectrum.");
    EXPECT_EQ(live.snapshot().devices[0].error, "Timeout waiting for spectrum.");
}
