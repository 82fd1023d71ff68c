#pragma once

#include "recording/hdf5id.h"
#include "recording/recordedspectrum.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmorcli {

// A recording in one HDF5 file, laid out by the NeXus conventions so that
// generic viewers plot it:
//   /entry (NXentry)                start_time, end_time, command_line, ...
//     /<serial> (NXdata)            one group per device, signal "counts"
//       wavelength  [pixels]        nm
//       counts      [n, pixels]     float32, chunked, compressed
//       sequence, device_time, host_time, exposure_time, averaging,
//       dark_subtracted, intensity_unit, sensor_temperature   [n]
//       lost        [m, 2]          first sequence and count of each gap
// Every group and dataset is made when the file is created; then the file
// switches to single-writer/multiple-reader mode, so that readers can follow
// it while it grows and a crash leaves it readable up to the last flush().
// Not thread-safe: one thread writes.
class RecordingFile {
public:
    // Thrown, before anything is written, when the disk (or the file size
    // limit) has too little room left for the next spectra: the file is
    // still whole and can be finished.
    class NoRoom : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    // Creates the file (an existing one is refused) and everything in it.
    // Throws std::runtime_error naming what failed.
    RecordingFile(const std::filesystem::path& path, const RecordingHeader& header,
                  const std::vector<RecordedDevice>& devices);

    // Appends the spectra (any devices, each device's in sequence order),
    // noting the gaps in each device's sequence as lost. Throws NoRoom, or
    // std::runtime_error when writing failed (then abandon()).
    void append(const std::vector<RecordedSpectrum>& spectra);
    // Records that the device made spectra up to `spectraMade` in all (the
    // stream's delivered and lost): the ones after the last appended are lost.
    void noteSpectraMade(std::size_t device, uint64_t spectraMade);
    // Puts everything appended so far on the disk for readers and for a
    // crash to come.
    void flush();
    // Writes the end time and each device's error text (empty: none), then
    // closes the file.
    void finish(std::chrono::system_clock::time_point endTime, const std::vector<std::string>& deviceErrors);
    // After a failed write: leaves the file as the last good flush made it.
    // Closing would flush again, writing metadata that points at data that
    // never reached the disk, so nothing is written or closed any more.
    void abandon();

    // Counts so far; until finish().
    uint64_t spectraWritten(std::size_t device) const;
    uint64_t spectraLost(std::size_t device) const;

private:
    struct Device {
        Hdf5Id group;
        Hdf5Id counts;
        std::vector<Hdf5Id> columns; // one per entry of the column table
        Hdf5Id lost;
        std::size_t pixels = 0;
        uint64_t written = 0;
        uint64_t nextSequence = 0;
        uint64_t lostSpectra = 0;
        uint64_t gaps = 0;
    };

    void createEntry(const RecordingHeader& header, const std::vector<RecordedDevice>& devices);
    Device createDevice(const RecordedDevice& device, const std::string& groupName);
    void appendDevice(Device& device, const std::vector<const RecordedSpectrum*>& spectra);
    void appendGap(Device& device, uint64_t firstSequence, uint64_t count);
    void ensureRoom(const std::vector<RecordedSpectrum>& spectra) const;

    std::filesystem::path mPath;
    Hdf5Id mFile;
    Hdf5Id mEntry;
    std::vector<Device> mDevices;
};

} // namespace velmorcli
