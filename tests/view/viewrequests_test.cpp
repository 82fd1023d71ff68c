#include "view/accessguard.h"
#include "view/controlrequests.h"
#include "view/livespectra.h"
#include "view/replytext.h"
#include "view/requesterror.h"
#include "view/requestframing.h"
#include "view/viewoptions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
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

TEST(RequestFraming, BodiesAreBoundedHoweverTheyAreSent)
{
    using Verdict = RequestFraming::Verdict;
    const std::string head = "POST /api/settings HTTP/1.1\r\nHost: h\r\n";
    const struct {
        std::string received;
        Verdict verdict;
        int statusOrLength;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: h\r\n", Verdict::Incomplete, 0},
        {"GET / HTTP/1.1\r\n\r\nGET /next", Verdict::Complete, 18},
        {head + "Content-Length: 4\r\n\r\n{}", Verdict::Incomplete, 0},
        {head + "content-length:  4 \r\n\r\n{ }}extra", Verdict::Complete, 65},
        {head + "Transfer-Encoding: chunked\r\n\r\n", Verdict::Refused, 411},
        {head + "Content-Encoding: gzip\r\nContent-Length: 2\r\n\r\n", Verdict::Refused, 415},
        {head + "Content-Length: 16385\r\n\r\n", Verdict::Refused, 413},
        {head + "Content-Length: 99999999999999999999\r\n\r\n", Verdict::Refused, 400},
        {head + "Content-Length: 2\r\nContent-Length: 3\r\n\r\n", Verdict::Refused, 400},
        {head + "Content-Length: -1\r\n\r\n", Verdict::Refused, 400},
        {head + std::string(9000, 'x'), Verdict::Refused, 431},
    };
    for (const auto& [received, verdict, statusOrLength] : cases) {
        const RequestFraming::Result result = RequestFraming::frame(received);
        EXPECT_EQ(result.verdict, verdict) << received.substr(0, 80);
        const int actual = static_cast<int>(verdict == Verdict::Complete ? result.length : result.status);
        EXPECT_EQ(actual, statusOrLength) << received.substr(0, 80);
    }
}

TEST(ReplyText, WhatIsNotUtf8BecomesReplacementCharactersAndOnlyJsonIsJson)
{
    const std::pair<std::string, std::string> texts[] = {
        {"10001", "10001"},
        {"AB\xFF" "1", "AB\xEF\xBF\xBD" "1"},
        {"\xC3\xA9\xE6\x97\xA5", "\xC3\xA9\xE6\x97\xA5"},       // é, 日
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},               // overlong '/'
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {"\xE6\x97", "\xEF\xBF\xBD\xEF\xBF\xBD"},               // cut short
    };
    for (const auto& [text, shown] : texts) {
        EXPECT_EQ(replytext::validUtf8(text), shown);
    }
    EXPECT_EQ(replytext::clientText(std::string(1000, 'x')).size(), 67u);
    EXPECT_EQ(replytext::dump(nlohmann::json{{"e", "\xFF"}}), "{\"e\":\"\xEF\xBF\xBD\"}");

    for (const char* accepted : {"application/json", "application/json; charset=utf-8", " Application/JSON ;x=1"}) {
        EXPECT_TRUE(ControlRequests::isJsonMediaType(accepted)) << accepted;
    }
    for (const char* refused : {"", "application/jsonx", "text/plain", "application/json-seq", "application/js"}) {
        EXPECT_FALSE(ControlRequests::isJsonMediaType(refused)) << refused;
    }
}

TEST(ViewOptions, TheTokenComesFromTheOptionTheFileOrTheEnvironment)
{
    const std::string path = ::testing::TempDir() + "velmor-view-token";
    std::ofstream(path) << "0123456789abcdef-file\r\n";
    ViewOptions options;
    unsetenv(ViewOptions::TOKEN_VARIABLE);
    EXPECT_EQ(chosenToken(options), "") << "loopback needs none";
    options.listenAddress = "0.0.0.0";
    EXPECT_EQ(chosenToken(options).size(), 32u) << "serving others, one is made up";
    setenv(ViewOptions::TOKEN_VARIABLE, "0123456789abcdef-env", 1);
    EXPECT_EQ(chosenToken(options), "0123456789abcdef-env");
    options.tokenFile = path;
    EXPECT_EQ(chosenToken(options), "0123456789abcdef-file");
    options.token = "0123456789abcdef-option";
    EXPECT_EQ(chosenToken(options), "0123456789abcdef-option");
    options.token = "short";
    EXPECT_THROW(chosenToken(options), std::invalid_argument);
    options.token.clear();
    options.tokenFile = path + "-missing";
    EXPECT_THROW(chosenToken(options), std::invalid_argument);
    unsetenv(ViewOptions::TOKEN_VARIABLE);
}
