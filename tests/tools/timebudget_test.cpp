#include "output/texttable.h"
#include "acquisition/timebudget.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <stdexcept>

namespace velmorcli {
namespace {

using std::chrono::milliseconds;

TEST(TimeBudget, AsksTheLibraryForItsWaits)
{
    // Soft timeout: the spectrum's work + 2 s, at least 3 s; hard deadline
    // 2 s later.
    EXPECT_EQ(timebudget::libraryWaitForOneSpectrum(500, 1, 0), milliseconds{5000});
    EXPECT_EQ(timebudget::libraryWaitForOneSpectrum(1000000, 1, 0), milliseconds{5000});
    EXPECT_EQ(timebudget::libraryWaitForOneSpectrum(100000, 50, 0), milliseconds{9000});
    EXPECT_EQ(timebudget::libraryWaitForOneSpectrum(1000000, 4, 2000000), milliseconds{10000});
    // (exposure x averaging + delay) x collections + 5 s.
    EXPECT_EQ(timebudget::libraryBatchCollectionLimit(100000, 1, 0, 10), milliseconds{6000});
    EXPECT_EQ(timebudget::libraryBatchCollectionLimit(100000, 4, 50000, 10), milliseconds{9500});
}

TEST(TimeBudget, TheToolWaitsLongerThanTheLibrary)
{
    // So that a failure or a timeout reaches the user as the library's message.
    EXPECT_GT(timebudget::measureDeadline(20000, 2, 0, 1), timebudget::libraryWaitForOneSpectrum(20000, 2, 0));
    EXPECT_GT(timebudget::measureStallLimit(100000, 50, 0), timebudget::libraryWaitForOneSpectrum(100000, 50, 0));
    EXPECT_GT(timebudget::batchStallLimit(100000, 4, 0, 10), timebudget::libraryBatchCollectionLimit(100000, 4, 0, 10));
    // A silent device is given up before the deadline, and so named.
    EXPECT_GT(timebudget::batchDeadline(100000, 1, 0, 10), timebudget::batchStallLimit(100000, 1, 0, 10));
}

TEST(TimeBudget, DeadlinesGrowWithTheWorkAsked)
{
    const auto base = timebudget::measureDeadline(20000, 1, 0, 10);
    EXPECT_GE(timebudget::measureDeadline(20000, 1, 0, 20) - base, milliseconds{10 * 20});
    EXPECT_GE(timebudget::measureDeadline(20000, 4, 0, 10) - base, milliseconds{10 * 60});
    EXPECT_GE(timebudget::measureDeadline(20000, 1, 50000, 10) - base, milliseconds{10 * 50});
    EXPECT_EQ(timebudget::batchDeadline(100000, 1, 0, 20) - timebudget::batchDeadline(100000, 1, 0, 10),
              milliseconds{1000});
    EXPECT_EQ(timebudget::batchDeadline(100000, 3, 0, 10) - timebudget::batchDeadline(100000, 1, 0, 10),
              milliseconds{2000});
}

// Every budget of every option value the command line accepts is either
// computed within what the steady clock can add to now, or refused with
// std::overflow_error; never a wrapped-around (negative) or undefined result.
TEST(TimeBudget, RefusesWhatCannotBeComputedAndNeverOverflows)
{
    const int values[] = {0, 1, 999, 1000000, 2147483647};
    const auto withinReach = [](const std::function<milliseconds()>& budget) {
        try {
            const milliseconds wait = budget();
            EXPECT_GE(wait, milliseconds{0});
            EXPECT_LE(wait, timebudget::longestWait());
        } catch (const std::overflow_error&) {
        }
    };
    for (int a : values) {
        for (int b : values) {
            for (int c : values) {
                withinReach([&] { return timebudget::spectrumDuration(a, b, c); });
                withinReach([&] { return timebudget::measureStallLimit(a, b, c); });
                for (int d : values) {
                    withinReach([&] { return timebudget::measureDeadline(a, b, c, d); });
                    withinReach([&] { return timebudget::batchDeadline(a, b, c, d); });
                }
            }
        }
    }
    const int top = 2147483647;
    EXPECT_THROW(timebudget::measureDeadline(2000000, 1, 0, top), std::overflow_error);
    EXPECT_THROW(timebudget::batchDeadline(top, top, top, top), std::overflow_error);
    EXPECT_THROW(timebudget::spectrumDuration(top, top, top), std::overflow_error);
    // Long but countable: a month of 1 s spectra, a thousand of 2^31 us.
    EXPECT_EQ(timebudget::measureDeadline(1000000, 1, 0, 2592000) / std::chrono::hours{1}, 936);
    EXPECT_GT(timebudget::batchDeadline(top, 1, 0, 1000), milliseconds{top});
}

TEST(TextTable, AlignsColumnsByCharactersNotBytes)
{
    TextTable table({"index", "serial", "firmware"});
    table.addRow({"0", "10001", "4.1.7.0"});
    table.addRow({"12", "µ-7", "?"});
    std::ostringstream out;
    table.write(out);
    EXPECT_EQ(out.str(), "index  serial  firmware\n"
                         "0      10001   4.1.7.0\n"
                         "12     µ-7     ?\n");
}

} // namespace
} // namespace velmorcli
