#include <velmor/byteconverter.h>

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(ByteConverter, Bswap32ReversesTheBytes)
{
    EXPECT_EQ(ByteConverter::bswap32(0x11223344u), 0x44332211u);
}

TEST(ByteConverter, ReadsLittleEndianAndOptionallySwaps32BitValues)
{
    const std::vector<uint8_t> bytes{0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(ByteConverter::convert<uint32_t>(bytes, 0, true), 0x04030201u);
    EXPECT_EQ(ByteConverter::convert<uint32_t>(bytes, 0, false), 0x01020304u);
    EXPECT_EQ(ByteConverter::fromLittleEndian<uint32_t>(bytes.data(), 0), 0x04030201u);
}

TEST(ByteConverter, FloatsAreTakenBitForBit)
{
    EXPECT_EQ(ByteConverter::convert<float>({0x00, 0x00, 0x80, 0x3F}, 0, true), 1.0f);
    EXPECT_EQ(ByteConverter::convert<float>({0x3F, 0x80, 0x00, 0x00}, 0, false), 1.0f);
    const float nan = ByteConverter::convert<float>({0x01, 0x00, 0xC0, 0x7F}, 0, true);
    uint32_t bits = 0;
    std::memcpy(&bits, &nan, sizeof bits);
    EXPECT_EQ(bits, 0x7FC00001u) << "a NaN payload must survive unchanged";
}

TEST(ByteConverter, Uint16IgnoresTheEndiannessFlag)
{
    const std::vector<uint8_t> bytes{0x34, 0x12};
    EXPECT_EQ(ByteConverter::convert<uint16_t>(bytes, 0, true), 0x1234);
    EXPECT_EQ(ByteConverter::convert<uint16_t>(bytes, 0, false), 0x1234);
}

TEST(ByteConverter, RefusesReadsPastTheEnd)
{
    const std::vector<uint8_t> eight(8, 0xAB);
    EXPECT_NO_THROW(ByteConverter::convert<uint16_t>(eight, 6, true));
    EXPECT_NO_THROW(ByteConverter::convert<uint32_t>(eight, 4, true));
    for (size_t offset : {size_t{7}, size_t{8}, std::numeric_limits<size_t>::max()}) {
        try {
            ByteConverter::convert<uint16_t>(eight, offset, true);
            ADD_FAILURE() << "offset " << offset;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Data buffer overflow");
        }
    }
    EXPECT_THROW(ByteConverter::convert<uint32_t>(eight, 5, true), std::runtime_error);
    EXPECT_THROW(ByteConverter::convert<float>({}, 0, true), std::runtime_error);
    // An offset so large that offset + size wraps around must not pass.
    EXPECT_THROW(ByteConverter::convert<uint32_t>(eight, std::numeric_limits<size_t>::max() - 1, true),
                 std::runtime_error);
}

TEST(ByteConverter, ConvertStrCutsAtTheFirstNul)
{
    const std::vector<uint8_t> bytes{0x00, 0x00, 'A', 'B', 0x00, 'C'};
    const auto npos = std::string::npos;
    EXPECT_EQ(ByteConverter::convert_str(bytes, 0, npos, true, true), "AB");
    EXPECT_EQ(ByteConverter::convert_str(bytes, 0, npos, false, true), "");
    EXPECT_EQ(ByteConverter::convert_str(bytes, 0, 1, true, true), "A");
    EXPECT_EQ(ByteConverter::convert_str(bytes, 5, npos, false, false), "C");
}

TEST(ByteConverter, ConvertStrEdgeBuffers)
{
    const auto npos = std::string::npos;
    EXPECT_EQ(ByteConverter::convert_str({'x', 'y', 'z'}, 1, npos, true, true), "yz");
    EXPECT_EQ(ByteConverter::convert_str({0, 0, 0}, 0, npos, true, true), "");
    EXPECT_EQ(ByteConverter::convert_str({'a'}, 1, npos, true, true), "");
    EXPECT_EQ(ByteConverter::convert_str({}, 0, npos, true, true), "");
    EXPECT_EQ(ByteConverter::convert_str({0xE4, 0xB8, 0xAD, 0}, 0, npos, true, true), "\xE4\xB8\xAD")
        << "bytes are passed on without character-set conversion";
}

} // namespace
