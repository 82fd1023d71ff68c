// StreamCapture is how tests read library output while the library's
// threads keep writing.

#include "support/streamcapture.h"

#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(StreamCaptureTest, CapturesBothStreamsUntilDestroyed)
{
    std::streambuf* const originalOut = std::cout.rdbuf();
    {
        StreamCapture capture;
        std::cout << "to out " << 42 << std::endl;
        std::cerr << "to err\n";
        EXPECT_EQ(capture.out(), "to out 42\n");
        EXPECT_EQ(capture.err(), "to err\n");

        capture.clear();
        std::cout << "again";
        EXPECT_EQ(capture.out(), "again");
        EXPECT_EQ(capture.err(), "");
    }
    EXPECT_EQ(std::cout.rdbuf(), originalOut);
}

TEST(StreamCaptureTest, KeepsEveryLineOfConcurrentWriters)
{
    constexpr int LinesEach = 200;
    const std::string line = "a whole line\n";
    StreamCapture capture;

    std::vector<std::thread> writers;
    for (std::ostream* stream : {&std::cout, &std::cout, &std::cerr, &std::cerr}) {
        writers.emplace_back([stream, &line] {
            for (int i = 0; i < LinesEach; ++i) {
                *stream << line;
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }

    std::string expected;
    for (int i = 0; i < 2 * LinesEach; ++i) {
        expected += line;
    }
    EXPECT_EQ(capture.out(), expected);
    EXPECT_EQ(capture.err(), expected);
}

} // namespace
