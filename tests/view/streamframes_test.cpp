#include "view/streamframes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace velmorview;
using nlohmann::json;

namespace {

json parse(const std::string& event)
{
    EXPECT_EQ(event.compare(0, 6, "data: "), 0);
    EXPECT_EQ(event.substr(event.size() - 2), "\n\n");
    return json::parse(event.substr(6));
}

} // namespace

TEST(StreamFrames, ValuesTravelOnlyWhenTheyChanged)
{
    LiveSpectra live({"10001", "10002"});
    StreamFrames frames(DisplayMode::Counts);
    live.publish("10001", {1.5f, 2.0f});

    const json first = parse(frames.nextEvent(live.snapshot()));
    EXPECT_EQ(first["values"], json::parse(R"({"10001": [1.5, 2]})"));
    EXPECT_EQ(first["devices"].size(), 2u) << "every device's status, with or without data";

    const json idle = parse(frames.nextEvent(live.snapshot()));
    EXPECT_TRUE(idle["values"].empty());
    EXPECT_EQ(idle["devices"][0]["received"], 1);

    live.publish("10002", {65535.0f});
    const json next = parse(frames.nextEvent(live.snapshot()));
    EXPECT_EQ(next["values"], json::parse(R"({"10002": [65535]})"));
    EXPECT_EQ(next["devices"][1]["saturated"], true);
}

TEST(StreamFrames, NewReferenceOrDarkStateResendsTheValuesInTheirNewMeaning)
{
    LiveSpectra live({"10001"});
    StreamFrames frames(DisplayMode::Absorbance);
    live.publish("10001", {10.0f});
    EXPECT_EQ(parse(frames.nextEvent(live.snapshot()))["values"]["10001"], json::parse("[null]"));

    live.storeReference("10001");
    EXPECT_EQ(parse(frames.nextEvent(live.snapshot()))["values"]["10001"], json::parse("[0]"));

    live.setDarkSubtracted("10001", true);
    const json event = parse(frames.nextEvent(live.snapshot()));
    EXPECT_EQ(event["values"]["10001"], json::parse("[0]"));
    EXPECT_EQ(event["devices"][0]["darkSubtracted"], true);
    EXPECT_EQ(event["mode"], "absorbance");
}
