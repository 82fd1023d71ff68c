// The recording's account of lost spectra: gaps in a device's sequence,
// and spectra lost after its last delivered one, end up in 'lost'.
#include "recording/recordingfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace velmorcli {
namespace {

std::vector<uint64_t> readLost(const std::filesystem::path& path, const std::string& serial)
{
    const Hdf5Id file(H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose, "opening");
    const Hdf5Id lost(H5Dopen2(file.get(), ("entry/" + serial + "/lost").c_str(), H5P_DEFAULT), H5Dclose, "lost");
    const Hdf5Id space(H5Dget_space(lost.get()), H5Sclose, "space");
    std::vector<uint64_t> values(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space.get())));
    checkHdf5(H5Dread(lost.get(), H5T_NATIVE_UINT64, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), "reading");
    return values;
}

TEST(RecordingFile, RecordsEveryGapInTheSequenceAndTheLossesAtTheEnd)
{
    const auto path = std::filesystem::path(testing::TempDir()) / "gaps.h5";
    std::filesystem::remove(path);
    RecordedDevice device{"A1", "4.1.7.0", "1/2", 0, 2, {300, 301, 303}};
    RecordedDevice other{"B2", "", "", 0, 1, {400, 401}};
    {
        RecordingFile file(path, {"0.1.0", "velmor record gaps.h5", {}}, {device, other});
        std::vector<RecordedSpectrum> spectra;
        for (uint64_t sequence : {0, 1, 4, 5}) {
            spectra.push_back({0, sequence, {}, {}, 1000, 1, false, 0, 20.0f, {1, 2, 3}});
        }
        spectra.push_back({1, 0, {}, {}, 1000, 1, false, 0, 20.0f, {1, 2}});
        file.append(spectra);
        file.append({{0, 6, {}, {}, 1000, 1, true, 0, 20.0f, {1, 2, 3}}});
        file.noteSpectraMade(0, 9);
        file.noteSpectraMade(1, 1);
        EXPECT_EQ(file.spectraWritten(0), 5u);
        EXPECT_EQ(file.spectraLost(0), 4u);
        EXPECT_EQ(file.spectraLost(1), 0u);
        file.finish({}, {"", ""});
    }
    EXPECT_EQ(readLost(path, "A1"), (std::vector<uint64_t>{2, 2, 7, 2}));
    EXPECT_TRUE(readLost(path, "B2").empty());
    std::filesystem::remove(path);
}

} // namespace
} // namespace velmorcli
