#include "recording/recordingfile.h"

#include "output/safename.h"
#include "output/timestamp.h"

#include <sys/resource.h>

#include <algorithm>
#include <limits>
#include <set>
#include <stdexcept>

namespace velmorcli {
namespace {

namespace fs = std::filesystem;

// 16 spectra of 2048 pixels make a chunk of 128 KiB: big enough to compress
// well, small enough that a flush twice a second rewrites little.
constexpr hsize_t CHUNK_SPECTRA = 16;
constexpr hsize_t CHUNK_VALUES = 1024;
constexpr unsigned DEFLATE_LEVEL = 4;
// Attributes rewritten at the end are made at their full size beforehand:
// nothing new can be added to the file once readers may follow it.
constexpr std::size_t TIME_TEXT_LENGTH = 32;
constexpr std::size_t ERROR_TEXT_LENGTH = 512;

double secondsSinceEpoch(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// ISO 8601 in UTC with milliseconds, as NeXus writes times.
std::string isoUtc(std::chrono::system_clock::time_point time)
{
    return formatUtcTimestamp(time, "%Y-%m-%dT%H:%M:%S") + "Z";
}

// One value per spectrum, beside the counts.
struct Column {
    const char* name;
    hid_t (*fileType)();
    const char* units; // nullptr: none
    const char* longName;
    double (*real)(const RecordedSpectrum&);    // set for real-valued columns
    uint64_t (*whole)(const RecordedSpectrum&); // set for whole-numbered columns
};

const Column COLUMNS[] = {
    {"sequence", [] { return H5T_STD_U64LE; }, nullptr, "sequence number per device from 0; gaps are lost spectra",
     nullptr, [](const RecordedSpectrum& s) { return s.sequence; }},
    {"device_time", [] { return H5T_IEEE_F64LE; }, "s", "device time stamp, seconds since 1970-01-01 UTC",
     [](const RecordedSpectrum& s) { return secondsSinceEpoch(s.deviceTime); }, nullptr},
    {"host_time", [] { return H5T_IEEE_F64LE; }, "s", "host clock when read, seconds since 1970-01-01 UTC",
     [](const RecordedSpectrum& s) { return secondsSinceEpoch(s.hostTime); }, nullptr},
    {"exposure_time", [] { return H5T_STD_U32LE; }, "us", "exposure time", nullptr,
     [](const RecordedSpectrum& s) { return uint64_t{s.exposureTimeUs}; }},
    {"averaging", [] { return H5T_STD_U32LE; }, nullptr, "exposures averaged", nullptr,
     [](const RecordedSpectrum& s) { return uint64_t{s.averaging}; }},
    {"dark_subtracted", [] { return H5T_STD_U8LE; }, nullptr, "1: the device subtracted its dark spectrum",
     nullptr, [](const RecordedSpectrum& s) { return uint64_t{s.darkSubtracted}; }},
    {"intensity_unit", [] { return H5T_STD_U8LE; }, nullptr,
     "unit of counts: 0 counts, 1 counts/ms, 2 transmittance, 3 reflectance, 4 absorbance, 5 calibrated, "
     "6 evaluated",
     nullptr, [](const RecordedSpectrum& s) { return uint64_t{s.intensityUnit}; }},
    {"sensor_temperature", [] { return H5T_IEEE_F32LE; }, "degC", "sensor temperature",
     [](const RecordedSpectrum& s) { return static_cast<double>(s.sensorTemperatureC); }, nullptr},
};

Hdf5Id stringType(std::size_t length)
{
    Hdf5Id type(H5Tcopy(H5T_C_S1), H5Tclose, "making a string type");
    checkHdf5(H5Tset_size(type.get(), std::max<std::size_t>(length, 1)), "sizing a string type");
    checkHdf5(H5Tset_cset(type.get(), H5T_CSET_UTF8), "making a string type UTF-8");
    checkHdf5(H5Tset_strpad(type.get(), H5T_STR_NULLPAD), "padding a string type");
    return type;
}

// Creates the attribute, or overwrites the value of an existing one (which
// must have the same type and shape).
void setAttribute(hid_t object, const std::string& name, hid_t fileType, hid_t memoryType, hid_t space,
                  const void* value)
{
    const std::string what = "writing the attribute " + name;
    const htri_t exists = H5Aexists(object, name.c_str());
    checkHdf5(exists < 0 ? -1 : 0, what);
    Hdf5Id attribute = exists > 0
                           ? Hdf5Id(H5Aopen(object, name.c_str(), H5P_DEFAULT), H5Aclose, what)
                           : Hdf5Id(H5Acreate2(object, name.c_str(), fileType, space, H5P_DEFAULT, H5P_DEFAULT),
                                    H5Aclose, what);
    checkHdf5(H5Awrite(attribute.get(), memoryType, value), what);
}

// A text attribute of `length` bytes (0: as long as the text).
void setText(hid_t object, const std::string& name, const std::string& text, std::size_t length = 0)
{
    std::string stored = text.substr(0, length == 0 ? text.size() : length);
    stored.resize(std::max<std::size_t>(length == 0 ? stored.size() : length, 1), '\0');
    const Hdf5Id type = stringType(stored.size());
    const Hdf5Id space(H5Screate(H5S_SCALAR), H5Sclose, "making a scalar space");
    setAttribute(object, name, type.get(), type.get(), space.get(), stored.data());
}

void setTexts(hid_t object, const std::string& name, const std::vector<std::string>& texts)
{
    std::size_t length = 1;
    for (const auto& text : texts) {
        length = std::max(length, text.size());
    }
    std::string stored;
    for (const auto& text : texts) {
        stored += text + std::string(length - text.size(), '\0');
    }
    const Hdf5Id type = stringType(length);
    const hsize_t count = texts.size();
    const Hdf5Id space(H5Screate_simple(1, &count, nullptr), H5Sclose, "making a space");
    setAttribute(object, name, type.get(), type.get(), space.get(), stored.data());
}

void setWhole(hid_t object, const std::string& name, int64_t value)
{
    const Hdf5Id space(H5Screate(H5S_SCALAR), H5Sclose, "making a scalar space");
    setAttribute(object, name, H5T_STD_I64LE, H5T_NATIVE_INT64, space.get(), &value);
}

// A dataset that grows by rows: 1-D for width 0, otherwise rows x width.
Hdf5Id createGrowing(hid_t group, const std::string& name, hid_t fileType, hsize_t width, bool compress)
{
    const std::string what = "creating the dataset " + name;
    const int rank = width == 0 ? 1 : 2;
    const hsize_t dims[2] = {0, width};
    const hsize_t maxDims[2] = {H5S_UNLIMITED, width};
    const hsize_t chunk[2] = {width == 0 ? CHUNK_VALUES : CHUNK_SPECTRA, width};
    const Hdf5Id space(H5Screate_simple(rank, dims, maxDims), H5Sclose, what);
    const Hdf5Id properties(H5Pcreate(H5P_DATASET_CREATE), H5Pclose, what);
    checkHdf5(H5Pset_chunk(properties.get(), rank, chunk), what);
    if (compress) {
        checkHdf5(H5Pset_shuffle(properties.get()), what);
        checkHdf5(H5Pset_deflate(properties.get(), DEFLATE_LEVEL), what);
    }
    return Hdf5Id(H5Dcreate2(group, name.c_str(), fileType, space.get(), H5P_DEFAULT, properties.get(), H5P_DEFAULT),
                  H5Dclose, what);
}

void describe(hid_t object, const char* units, const std::string& longName)
{
    if (units != nullptr) {
        setText(object, "units", units);
    }
    setText(object, "long_name", longName);
}

// Writes `rows` rows (of `width` values; 0 for 1-D) after the first `firstRow`.
void appendRows(hid_t dataset, hsize_t firstRow, hsize_t rows, hsize_t width, hid_t memoryType, const void* values)
{
    const std::string what = "appending to a dataset";
    const int rank = width == 0 ? 1 : 2;
    const hsize_t newDims[2] = {firstRow + rows, width};
    checkHdf5(H5Dset_extent(dataset, newDims), what);
    const Hdf5Id fileSpace(H5Dget_space(dataset), H5Sclose, what);
    const hsize_t start[2] = {firstRow, 0};
    const hsize_t count[2] = {rows, width};
    checkHdf5(H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start, nullptr, count, nullptr), what);
    const Hdf5Id memorySpace(H5Screate_simple(rank, count, nullptr), H5Sclose, what);
    checkHdf5(H5Dwrite(dataset, memoryType, memorySpace.get(), fileSpace.get(), H5P_DEFAULT, values), what);
}

void appendColumn(hid_t dataset, hsize_t firstRow, const Column& column,
                  const std::vector<const RecordedSpectrum*>& spectra)
{
    if (column.real != nullptr) {
        std::vector<double> values;
        for (const auto* spectrum : spectra) {
            values.push_back(column.real(*spectrum));
        }
        appendRows(dataset, firstRow, values.size(), 0, H5T_NATIVE_DOUBLE, values.data());
    } else {
        std::vector<uint64_t> values;
        for (const auto* spectrum : spectra) {
            values.push_back(column.whole(*spectrum));
        }
        appendRows(dataset, firstRow, values.size(), 0, H5T_NATIVE_UINT64, values.data());
    }
}

std::vector<std::string> groupNames(const std::vector<RecordedDevice>& devices)
{
    std::vector<std::string> names;
    std::set<std::string> used;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        std::string name = fileNameSafe(devices[i].serialNumber);
        if (name.empty() || name == "." || used.count(name) > 0) {
            name += "_" + std::to_string(i);
        }
        used.insert(name);
        names.push_back(name);
    }
    return names;
}

} // namespace

RecordingFile::RecordingFile(const std::filesystem::path& path, const RecordingHeader& header,
                             const std::vector<RecordedDevice>& devices)
    : mPath(path)
{
    // HDF5 would close (and flush) an abandoned file at exit; every file that
    // is not abandoned is closed here before. Only takes effect before
    // HDF5's first use.
    H5dont_atexit();
    silenceHdf5ErrorOutput();
    const std::string what = "creating " + path.string();
    const Hdf5Id access(H5Pcreate(H5P_FILE_ACCESS), H5Pclose, what);
    // Readers following a growing file need the newest format.
    checkHdf5(H5Pset_libver_bounds(access.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST), what);
    mFile = Hdf5Id(H5Fcreate(path.c_str(), H5F_ACC_EXCL, H5P_DEFAULT, access.get()), H5Fclose, what);
    createEntry(header, devices);
    checkHdf5(H5Fstart_swmr_write(mFile.get()), "switching " + path.string() + " to single-writer/multiple-reader mode");
}

void RecordingFile::createEntry(const RecordingHeader& header, const std::vector<RecordedDevice>& devices)
{
    const std::vector<std::string> names = groupNames(devices);
    setText(mFile.get(), "NX_class", "NXroot");
    setText(mFile.get(), "default", "entry");
    setText(mFile.get(), "creator", "velmor " + header.libraryVersion);
    mEntry = Hdf5Id(H5Gcreate2(mFile.get(), "entry", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose,
                    "creating the group entry");
    setText(mEntry.get(), "NX_class", "NXentry");
    if (!names.empty()) {
        setText(mEntry.get(), "default", names.front());
    }
    setText(mEntry.get(), "program_name", "velmor");
    setText(mEntry.get(), "library_version", header.libraryVersion);
    setText(mEntry.get(), "command_line", header.commandLine);
    setText(mEntry.get(), "start_time", isoUtc(header.startTime));
    // Stays empty in a file whose recorder did not end normally.
    setText(mEntry.get(), "end_time", "", TIME_TEXT_LENGTH);
    for (std::size_t i = 0; i < devices.size(); ++i) {
        mDevices.push_back(createDevice(devices[i], names[i]));
    }
}

RecordingFile::Device RecordingFile::createDevice(const RecordedDevice& device, const std::string& groupName)
{
    Device created;
    created.pixels = device.wavelengths.size();
    created.group = Hdf5Id(H5Gcreate2(mEntry.get(), groupName.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                           H5Gclose, "creating the group of " + device.serialNumber);
    const hid_t group = created.group.get();
    setText(group, "NX_class", "NXdata");
    setText(group, "signal", "counts");
    setTexts(group, "axes", {".", "wavelength"});
    setWhole(group, "wavelength_indices", 1);
    setText(group, "serial_number", device.serialNumber);
    setText(group, "firmware", device.firmware.empty() ? "unknown" : device.firmware);
    setText(group, "usb_location", device.usbLocation.empty() ? "unknown" : device.usbLocation);
    setWhole(group, "first_pixel", device.startPixel);
    setWhole(group, "last_pixel", device.endPixel);
    setWhole(group, "pixel_count", static_cast<int64_t>(created.pixels));
    setWhole(group, "spectra_written", 0);
    setWhole(group, "spectra_lost", 0);
    setText(group, "error", "", ERROR_TEXT_LENGTH);

    const hsize_t pixels = created.pixels;
    const Hdf5Id wavelengthSpace(H5Screate_simple(1, &pixels, nullptr), H5Sclose, "creating wavelength");
    const Hdf5Id wavelength(H5Dcreate2(group, "wavelength", H5T_IEEE_F32LE, wavelengthSpace.get(), H5P_DEFAULT,
                                       H5P_DEFAULT, H5P_DEFAULT),
                            H5Dclose, "creating wavelength");
    if (pixels > 0) {
        checkHdf5(H5Dwrite(wavelength.get(), H5T_NATIVE_FLOAT, H5S_ALL, H5S_ALL, H5P_DEFAULT,
                           device.wavelengths.data()),
                  "writing wavelength");
    }
    describe(wavelength.get(), "nm", "wavelength");

    created.counts = createGrowing(group, "counts", H5T_IEEE_F32LE, std::max<hsize_t>(pixels, 1), true);
    describe(created.counts.get(), "counts", "intensity per pixel, one row per spectrum (unit: intensity_unit)");
    for (const Column& column : COLUMNS) {
        created.columns.push_back(createGrowing(group, column.name, column.fileType(), 0, false));
        describe(created.columns.back().get(), column.units, column.longName);
    }
    created.lost = createGrowing(group, "lost", H5T_STD_U64LE, 2, false);
    describe(created.lost.get(), nullptr, "spectra lost: first sequence number and count of each gap");
    return created;
}

// Room for the spectra uncompressed, twice over, and a margin for the
// metadata and the end of the recording.
void RecordingFile::ensureRoom(const std::vector<RecordedSpectrum>& spectra) const
{
    constexpr uintmax_t MARGIN = 4u << 20;
    uintmax_t needed = MARGIN;
    for (const RecordedSpectrum& spectrum : spectra) {
        needed += 2 * (spectrum.counts.size() * sizeof(float) + 64);
    }
    std::error_code error;
    const fs::space_info space = fs::space(fs::absolute(mPath).parent_path(), error);
    if (!error && space.available < needed) {
        throw NoRoom("the disk holding " + mPath.string() + " is full (" + std::to_string(space.available >> 10) +
                     " KiB left)");
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const uintmax_t size = fs::file_size(mPath, error);
        if (!error && size + needed > limit.rlim_cur) {
            throw NoRoom(mPath.string() + " has reached the file size limit of the process (" +
                         std::to_string(limit.rlim_cur >> 10) + " KiB, ulimit -f)");
        }
    }
}

void RecordingFile::append(const std::vector<RecordedSpectrum>& spectra)
{
    if (spectra.empty()) {
        return;
    }
    ensureRoom(spectra);
    std::vector<std::vector<const RecordedSpectrum*>> perDevice(mDevices.size());
    for (const RecordedSpectrum& spectrum : spectra) {
        if (spectrum.device < mDevices.size()) {
            perDevice[spectrum.device].push_back(&spectrum);
        }
    }
    for (std::size_t i = 0; i < mDevices.size(); ++i) {
        if (!perDevice[i].empty()) {
            appendDevice(mDevices[i], perDevice[i]);
        }
    }
}

void RecordingFile::appendDevice(Device& device, const std::vector<const RecordedSpectrum*>& spectra)
{
    const hsize_t width = std::max<std::size_t>(device.pixels, 1);
    // A spectrum of another length than the wavelength table (which the
    // library does not deliver) is cut or padded with NaN, never misplaced.
    std::vector<float> counts(spectra.size() * width, std::numeric_limits<float>::quiet_NaN());
    for (std::size_t row = 0; row < spectra.size(); ++row) {
        const RecordedSpectrum& spectrum = *spectra[row];
        std::copy_n(spectrum.counts.begin(), std::min<std::size_t>(spectrum.counts.size(), width),
                    counts.begin() + static_cast<std::ptrdiff_t>(row * width));
        if (spectrum.sequence > device.nextSequence) {
            appendGap(device, device.nextSequence, spectrum.sequence - device.nextSequence);
        }
        device.nextSequence = std::max(device.nextSequence, spectrum.sequence + 1);
    }
    appendRows(device.counts.get(), device.written, spectra.size(), width, H5T_NATIVE_FLOAT, counts.data());
    for (std::size_t i = 0; i < device.columns.size(); ++i) {
        appendColumn(device.columns[i].get(), device.written, COLUMNS[i], spectra);
    }
    device.written += spectra.size();
}

void RecordingFile::appendGap(Device& device, uint64_t firstSequence, uint64_t count)
{
    const uint64_t gap[2] = {firstSequence, count};
    appendRows(device.lost.get(), device.gaps, 1, 2, H5T_NATIVE_UINT64, gap);
    ++device.gaps;
    device.lostSpectra += count;
}

void RecordingFile::noteSpectraMade(std::size_t device, uint64_t spectraMade)
{
    Device& recorded = mDevices.at(device);
    if (spectraMade > recorded.nextSequence) {
        appendGap(recorded, recorded.nextSequence, spectraMade - recorded.nextSequence);
        recorded.nextSequence = spectraMade;
    }
}

void RecordingFile::flush()
{
    // The spectra reach the disk before the metadata that points at them:
    // a write that fails here leaves the last flush's file untouched.
    for (Device& device : mDevices) {
        checkHdf5(H5Dflush(device.counts.get()), "writing " + mPath.string());
        for (const Hdf5Id& column : device.columns) {
            checkHdf5(H5Dflush(column.get()), "writing " + mPath.string());
        }
        checkHdf5(H5Dflush(device.lost.get()), "writing " + mPath.string());
    }
    for (Device& device : mDevices) {
        setWhole(device.group.get(), "spectra_written", static_cast<int64_t>(device.written));
        setWhole(device.group.get(), "spectra_lost", static_cast<int64_t>(device.lostSpectra));
    }
    checkHdf5(H5Fflush(mFile.get(), H5F_SCOPE_GLOBAL), "writing " + mPath.string());
}

void RecordingFile::finish(std::chrono::system_clock::time_point endTime, const std::vector<std::string>& deviceErrors)
{
    setText(mEntry.get(), "end_time", isoUtc(endTime), TIME_TEXT_LENGTH);
    for (std::size_t i = 0; i < mDevices.size() && i < deviceErrors.size(); ++i) {
        setText(mDevices[i].group.get(), "error", deviceErrors[i], ERROR_TEXT_LENGTH);
    }
    flush();
    mDevices.clear();
    mEntry.close("closing the group entry");
    mFile.close("closing " + mPath.string());
}

void RecordingFile::abandon()
{
    for (Device& device : mDevices) {
        device.group.abandon();
        device.counts.abandon();
        for (Hdf5Id& column : device.columns) {
            column.abandon();
        }
        device.lost.abandon();
    }
    mEntry.abandon();
    mFile.abandon();
}

uint64_t RecordingFile::spectraWritten(std::size_t device) const
{
    return mDevices.at(device).written;
}

uint64_t RecordingFile::spectraLost(std::size_t device) const
{
    return mDevices.at(device).lostSpectra;
}

} // namespace velmorcli
