#include "texttable.h"
#include "timebudget.h"

#include <gtest/gtest.h>

#include <sstream>

namespace velmorcli {
namespace {

using std::chrono::milliseconds;

TEST(TimeBudget, RestatesTheLibrarysWaits)
{
    // Soft timeout exposure + 2 s, at least 3 s; hard deadline 2 s later.
    EXPECT_EQ(timebudget::libraryWaitForOneSpectrum(500), milliseconds{5000});
    EXPECT_EQ(timebudget::libraryWaitForOneSpectrum(1000000), milliseconds{5000});
    EXPECT_EQ(timebudget::libraryWaitForOneSpectrum(10000000), milliseconds{14000});
    // exposure x collections + 5 s, averaging left out.
    EXPECT_EQ(timebudget::libraryBatchCollectionLimit(100000, 10), milliseconds{6000});
}

TEST(TimeBudget, TheToolWaitsLongerThanTheLibrary)
{
    // So that a timeout reaches the user as the library's message.
    EXPECT_GT(timebudget::measureDeadline(20000, 2, 0, 1), timebudget::libraryWaitForOneSpectrum(20000));
    EXPECT_GT(timebudget::measureStallLimit(20000), timebudget::libraryWaitForOneSpectrum(20000));
    EXPECT_GT(timebudget::batchDeadline(100000, 10), timebudget::libraryBatchCollectionLimit(100000, 10));
}

TEST(TimeBudget, DeadlinesGrowWithTheWorkAsked)
{
    const auto base = timebudget::measureDeadline(20000, 1, 0, 10);
    EXPECT_GE(timebudget::measureDeadline(20000, 1, 0, 20) - base, milliseconds{10 * 20});
    EXPECT_GE(timebudget::measureDeadline(20000, 4, 0, 10) - base, milliseconds{10 * 60});
    EXPECT_GE(timebudget::measureDeadline(20000, 1, 50000, 10) - base, milliseconds{10 * 50});
    EXPECT_EQ(timebudget::batchDeadline(100000, 20) - timebudget::batchDeadline(100000, 10), milliseconds{1000});
    // No overflow at the top of the ranges the options allow.
    EXPECT_GT(timebudget::measureDeadline(2147483647, 1, 0, 2147483647), milliseconds{2147483647});
    EXPECT_GT(timebudget::batchDeadline(2147483647, 1), milliseconds{2147483});
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
