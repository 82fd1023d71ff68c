#include "output/csvwriter.h"
#include "acquisition/devicespectra.h"
#include "localtimezone.h"
#include "output/timestamp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

namespace velmorcli {
namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;

// 2026-12-08T05:12:03.123 UTC
const system_clock::time_point SOME_TIME{milliseconds{1796706723123}};

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string csvOf(const DeviceSpectra& device)
{
    std::ostringstream out;
    CsvWriter(device).write(out);
    return out.str();
}

class CsvWriterTest : public ::testing::Test {
protected:
    LocalTimeZone utc{"UTC"};
};

TEST_F(CsvWriterTest, TimeStampsAreLocalTimeWithMilliseconds)
{
    EXPECT_EQ(formatLocalTimestamp(SOME_TIME), "2026-12-08T05:12:03.123");
    EXPECT_EQ(formatLocalTimestamp(SOME_TIME - milliseconds{123}), "2026-12-08T05:12:03.000");
    const LocalTimeZone berlin("Europe/Berlin");
    EXPECT_EQ(formatLocalTimestamp(SOME_TIME), "2026-12-08T06:12:03.123");
}

TEST_F(CsvWriterTest, OneRowPerPixelAndOneColumnPerSpectrum)
{
    DeviceSpectra device;
    device.serialNumber = "10001";
    device.wavelengths = {400.5f, 401.25f, 402.0f};
    device.spectra = {{SOME_TIME, {1, 2, 3}}, {SOME_TIME + milliseconds{250}, {4.5f, -5, 6e6f}}};
    EXPECT_EQ(csvOf(device), "wavelength_nm,10001@2026-12-08T05:12:03.123,10001@2026-12-08T05:12:03.373\n"
                             "400.5,1,4.5\n"
                             "401.25,2,-5\n"
                             "402,3,6e+06\n");
}

TEST_F(CsvWriterTest, ValuesReadBackExactly)
{
    DeviceSpectra device;
    device.serialNumber = "1";
    device.wavelengths = {1.0f / 3, 1e-7f, 123456.789f};
    device.spectra = {{SOME_TIME, {0.1f, 65535.0f, std::nextafter(1.0f, 2.0f)}}};
    const std::vector<std::string> lines = linesOf(csvOf(device));
    ASSERT_EQ(lines.size(), 4u);
    for (std::size_t pixel = 0; pixel < 3; ++pixel) {
        std::istringstream row(lines[pixel + 1]);
        std::string wavelength;
        std::string value;
        std::getline(row, wavelength, ',');
        std::getline(row, value, ',');
        EXPECT_EQ(std::stof(wavelength), device.wavelengths[pixel]) << lines[pixel + 1];
        EXPECT_EQ(std::stof(value), device.spectra[0].counts[pixel]) << lines[pixel + 1];
    }
}

TEST_F(CsvWriterTest, SpectraOfABatchAreNumberedByPosition)
{
    DeviceSpectra device;
    device.serialNumber = "10002";
    device.wavelengths = {500};
    device.spectra = {{SOME_TIME, {1}}, {SOME_TIME, {2}}, {SOME_TIME, {3}}, {SOME_TIME + milliseconds{1}, {4}}};
    EXPECT_EQ(linesOf(csvOf(device)).front(),
              "wavelength_nm,10002@2026-12-08T05:12:03.123#1,10002@2026-12-08T05:12:03.123#2,"
              "10002@2026-12-08T05:12:03.123#3,10002@2026-12-08T05:12:03.124");
}

TEST_F(CsvWriterTest, QuotesSerialNumbersThatWouldBreakTheHeader)
{
    DeviceSpectra device;
    device.serialNumber = "A,\"B\"";
    device.wavelengths = {500};
    device.spectra = {{SOME_TIME, {1}}};
    EXPECT_EQ(linesOf(csvOf(device)).front(), "wavelength_nm,\"A,\"\"B\"\"@2026-12-08T05:12:03.123\"");
}

TEST_F(CsvWriterTest, MissingPixelsStayEmptyInsteadOfShiftingColumns)
{
    DeviceSpectra device;
    device.serialNumber = "1";
    device.wavelengths = {500, 501};
    device.spectra = {{SOME_TIME, {7}}, {SOME_TIME + milliseconds{5}, {8, 9, 10}}};
    const std::vector<std::string> lines = linesOf(csvOf(device));
    ASSERT_EQ(lines.size(), 4u) << "as many rows as the longest column";
    EXPECT_EQ(lines[1], "500,7,8");
    EXPECT_EQ(lines[2], "501,,9");
    EXPECT_EQ(lines[3], ",,10");
}

TEST_F(CsvWriterTest, WriteFileNamesTheFileItCannotWrite)
{
    DeviceSpectra device;
    device.serialNumber = "1";
    try {
        CsvWriter(device).writeFile("/nonexistent-directory/x.csv");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent-directory/x.csv"), std::string::npos);
    }
}

TEST(MeanSpectrum, AveragesPixelWiseOverTheSpectraThatHaveThePixel)
{
    DeviceSpectra device;
    EXPECT_TRUE(meanSpectrum(device).empty());
    device.spectra = {{SOME_TIME, {1, 10}}, {SOME_TIME, {3, 20, 7}}};
    EXPECT_EQ(meanSpectrum(device), (std::vector<float>{2, 15, 7}));
}

} // namespace
} // namespace velmorcli
