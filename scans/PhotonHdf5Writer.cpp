#include "scans/PhotonHdf5Writer.h"

#include "files/AtomicFile.h"
#include "files/RecordFormat.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"
#include "host/FotonelServices.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <hdf5.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace {

// The TITLE of every node this program writes: the format's own texts.
const std::map<std::string, const char *> kTitles = {
    {"/", "A file format for photon-counting detector based single-molecule spectroscopy experiments."},
    {"/acquisition_duration", "Measurement duration in seconds."},
    {"/description", "A user-defined comment describing the data file."},
    {"/format_name", "Name of the file format."},
    {"/format_version", "Version for the Photon-HDF5 format."},
    {"/photon_data", "Group containing arrays of photon-data."},
    {"/photon_data/timestamps",
     "Array of photon timestamps. Units specified in timestamps_units (defined in timestamps_specs/)."},
    {"/photon_data/detectors", "Array of pixel IDs for each timestamp."},
    {"/photon_data/nanotimes",
     "TCSPC photon arrival time (nanotimes). Units and other specifications are in nanotimes_specs group."},
    {"/photon_data/timestamps_specs", "Specifications for timestamps."},
    {"/photon_data/timestamps_specs/timestamps_unit", "Value of 1-unit timestamp-increment in seconds."},
    {"/photon_data/nanotimes_specs", "Group for nanotime-specific data."},
    {"/photon_data/nanotimes_specs/tcspc_unit", "Value of 1-unit nanotime-increment in seconds (TCSPC bin size)."},
    {"/photon_data/nanotimes_specs/tcspc_num_bins", "Number of TCSPC bins."},
    {"/photon_data/nanotimes_specs/tcspc_range", "TCSPC full-scale range in seconds."},
    {"/photon_data/measurement_specs", "Metadata necessary for interpretation of the particular type of measurement."},
    {"/photon_data/measurement_specs/measurement_type", "Name of the measurement the data represents."},
    {"/photon_data/measurement_specs/laser_repetition_rate", "Repetition rate of the pulsed excitation laser (in Hertz)."},
    {"/photon_data/measurement_specs/detectors_specs", "Mapping between the pixel IDs and the detection channels."},
    {"/setup", "Information about the experimental setup."},
    {"/setup/num_pixels", "Total number of detector pixels."},
    {"/setup/num_spots", "Number of excitation (or detection) \"spots\" in the sample."},
    {"/setup/num_spectral_ch", "Number of distinct spectral bands which are acquired."},
    {"/setup/num_polarization_ch", "Number of distinct polarization states which are acquired."},
    {"/setup/num_split_ch",
     "Number of distinct detection channels detecting the same spectral band and polarization. This value is > 1 "
     "when using a non-polarizing beam splitter."},
    {"/setup/modulated_excitation",
     "True (i.e. 1) if there is any form of excitation modulation of excitation wavelength (as in us-ALEX or PAX) or "
     "polarization. This field is also True for pulse-interleaved excitation (PIE) or ns-ALEX measurements."},
    {"/setup/excitation_alternated",
     "New in version 0.5. Indicates whether each excitation source is alternated (True, or 1) or not alternated "
     "(False, or 0)."},
    {"/setup/lifetime",
     "True (i.e. 1) if the measurement includes a nanotimes array of photon arrival times with respect to a laser "
     "pulse (as in TCSPC measurements)."},
    {"/setup/excitation_cw",
     "For each excitation source, this field indicates whether excitation is continuous wave (CW), True (i.e. 1), "
     "or pulsed, False (i.e. 0)."},
    {"/setup/detectors",
     "Metadata relative to each detector's pixel. Each field is an array with size equal to the number of the "
     "detectors."},
    {"/setup/detectors/id", "Detector IDs as they appear on /photon_data/detectors."},
    {"/setup/detectors/counts", "Total number of counts detected by each detector."},
    {"/identity", "Information about the Photon-HDF5 data file."},
    {"/identity/filename",
     "Original file name of the current Photon-HDF5 file (i.e. file name at creation time)."},
    {"/identity/creation_time", "Creation time of the current Photon-HDF5 file."},
    {"/identity/software", "Name of the software used to create the current Photon-HDF5 file."},
    {"/identity/software_version", "Version of the software used to create current the Photon-HDF5 file."},
    {"/identity/format_name", "Name of the file format."},
    {"/identity/format_version", "Version for the Photon-HDF5 format."},
    {"/identity/format_url", "Official URL for the Photon-HDF5 format."},
    {"/provenance", "Information about the original data file."},
    {"/provenance/filename", "File name of the original data file before conversion to Photon-HDF5."},
    {"/provenance/filename_full",
     "File name (with full path) of the original data file before conversion to Photon-HDF5."},
    {"/provenance/creation_time", "Creation time of the original data file."},
    {"/provenance/modification_time", "Time of last modification of the original data file."},
    // The format leaves /user free; these say what this program keeps there.
    {"/user", "Data of the original file that the format has no place for."},
    {"/user/markers", "Marker records of the original file (line, frame and other scan markers)."},
    {"/user/markers/timestamps", "Time of each marker, in the units of /photon_data/timestamps."},
    {"/user/markers/bits", "Marker bits of each marker record as the instrument wrote them."},
};

const char *const kTimeFormat = "yyyy-MM-dd HH:mm:ss";

/// One HDF5 identifier, closed with its own close function.
class Handle {
public:
    Handle(hid_t id, herr_t (*close)(hid_t)) : id(id), close(close) {}
    ~Handle()
    {
        if (id >= 0)
            close(id);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    Handle(Handle &&other) noexcept : id(other.id), close(other.close) { other.id = -1; }
    operator hid_t() const { return id; }
    /// Closes now; false when the library reports a failure.
    bool Close()
    {
        const hid_t closing = id;
        id = -1;
        return closing >= 0 && close(closing) >= 0;
    }
    bool Valid() const { return id >= 0; }

private:
    hid_t id;
    herr_t (*close)(hid_t);
};

/// A one-dimensional dataset that grows by appended blocks.
struct GrowingArray {
    hid_t dataset = -1;
    hid_t memoryType = -1;
    hsize_t size = 0;
};

/*!
 * Builds the nodes of one file. The first failed library call makes every
 * later step a no-op returning false.
 */
class Builder {
public:
    explicit Builder(hid_t file) : file(file) {}
    ~Builder() { CloseArrays(); }
    /// Closes the growing arrays (their sizes reach the file); false when one did not close.
    bool CloseArrays()
    {
        for (GrowingArray &a : arrays) {
            if (a.dataset >= 0 && H5Dclose(a.dataset) < 0)
                ok = false;
            a.dataset = -1;
        }
        return ok;
    }
    bool ok = true;

    bool Check(bool good)
    {
        ok = ok && good;
        return ok;
    }

    /// A creation property list that stores no object times (same bytes on every run).
    Handle Untimed(hid_t cls)
    {
        Handle list(H5Pcreate(cls), H5Pclose);
        Check(list.Valid() && H5Pset_obj_track_times(list, 0) >= 0);
        return list;
    }

    bool Title(hid_t object, const std::string &path)
    {
        const auto found = kTitles.find(path);
        if (!ok || found == kTitles.end())
            return Check(false);
        return StringAttribute(object, "TITLE", found->second);
    }

    bool StringAttribute(hid_t object, const char *name, const std::string &text)
    {
        if (!ok)
            return false;
        Handle type = StringType(text);
        Handle space(H5Screate(H5S_SCALAR), H5Sclose);
        if (!Check(type.Valid() && space.Valid()))
            return false;
        Handle attribute(H5Acreate2(object, name, type, space, H5P_DEFAULT, H5P_DEFAULT), H5Aclose);
        return Check(attribute.Valid() && H5Awrite(attribute, type, text.c_str()) >= 0);
    }

    bool Group(const std::string &path)
    {
        if (!ok)
            return false;
        Handle plist = Untimed(H5P_GROUP_CREATE);
        Handle group(H5Gcreate2(file, path.c_str(), H5P_DEFAULT, plist, H5P_DEFAULT), H5Gclose);
        return Check(group.Valid()) && Title(group, path);
    }

    bool String(const std::string &path, const std::string &text)
    {
        if (!ok)
            return false;
        Handle type = StringType(text);
        Handle space(H5Screate(H5S_SCALAR), H5Sclose);
        Handle plist = Untimed(H5P_DATASET_CREATE);
        if (!Check(type.Valid() && space.Valid()))
            return false;
        Handle set(H5Dcreate2(file, path.c_str(), type, space, H5P_DEFAULT, plist, H5P_DEFAULT), H5Dclose);
        return Check(set.Valid() && H5Dwrite(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, text.c_str()) >= 0) &&
               Title(set, path);
    }

    template <class T>
    bool Scalar(const std::string &path, hid_t fileType, hid_t memoryType, T value)
    {
        return Array(path, fileType, memoryType, std::vector<T>{value}, true);
    }

    template <class T>
    bool Array(const std::string &path, hid_t fileType, hid_t memoryType, const std::vector<T> &values, bool scalar = false)
    {
        if (!ok)
            return false;
        const hsize_t dims[1] = {values.size()};
        Handle space(scalar ? H5Screate(H5S_SCALAR) : H5Screate_simple(1, dims, nullptr), H5Sclose);
        Handle plist = Untimed(H5P_DATASET_CREATE);
        if (!Check(space.Valid()))
            return false;
        Handle set(H5Dcreate2(file, path.c_str(), fileType, space, H5P_DEFAULT, plist, H5P_DEFAULT), H5Dclose);
        if (!Check(set.Valid()))
            return false;
        if (!values.empty() && !Check(H5Dwrite(set, memoryType, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()) >= 0))
            return false;
        return Title(set, path);
    }

    /// An empty array of unlimited length, stored in chunks of \p chunk values; its index into arrays.
    std::size_t Growing(const std::string &path, hid_t fileType, hid_t memoryType, hsize_t chunk)
    {
        arrays.push_back({});
        if (!ok)
            return arrays.size() - 1;
        const hsize_t dims[1] = {0}, maxDims[1] = {H5S_UNLIMITED}, chunkDims[1] = {chunk};
        Handle space(H5Screate_simple(1, dims, maxDims), H5Sclose);
        Handle plist = Untimed(H5P_DATASET_CREATE);
        if (!Check(space.Valid() && H5Pset_chunk(plist, 1, chunkDims) >= 0))
            return arrays.size() - 1;
        const hid_t set = H5Dcreate2(file, path.c_str(), fileType, space, H5P_DEFAULT, plist, H5P_DEFAULT);
        arrays.back() = {set, memoryType, 0};
        if (Check(set >= 0))
            Title(set, path);
        return arrays.size() - 1;
    }

    /// Appends \p count values at \p data to growing array \p which.
    bool Append(std::size_t which, const void *data, hsize_t count)
    {
        if (!ok || count == 0)
            return ok;
        GrowingArray &a = arrays[which];
        const hsize_t newSize[1] = {a.size + count}, start[1] = {a.size}, counts[1] = {count};
        if (!Check(H5Dset_extent(a.dataset, newSize) >= 0))
            return false;
        Handle fileSpace(H5Dget_space(a.dataset), H5Sclose);
        Handle memorySpace(H5Screate_simple(1, counts, nullptr), H5Sclose);
        if (!Check(fileSpace.Valid() && memorySpace.Valid() &&
                   H5Sselect_hyperslab(fileSpace, H5S_SELECT_SET, start, nullptr, counts, nullptr) >= 0))
            return false;
        if (!Check(H5Dwrite(a.dataset, a.memoryType, memorySpace, fileSpace, H5P_DEFAULT, data) >= 0))
            return false;
        a.size += count;
        return true;
    }

private:
    /// A fixed-length string type as long as \p text (at least one byte).
    Handle StringType(const std::string &text)
    {
        Handle type(H5Tcopy(H5T_C_S1), H5Tclose);
        // Names of files may hold any character: such a text is marked UTF-8.
        const bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        Check(type.Valid() && H5Tset_size(type, std::max<std::size_t>(1, text.size())) >= 0 &&
              H5Tset_strpad(type, H5T_STR_NULLPAD) >= 0 && (ascii || H5Tset_cset(type, H5T_CSET_UTF8) >= 0));
        return type;
    }

    hid_t file;
    std::vector<GrowingArray> arrays;
};

/// Now, or the time SOURCE_DATE_EPOCH names, in UTC.
QDateTime CreationTime()
{
    bool ok = false;
    const qint64 epoch = qEnvironmentVariable("SOURCE_DATE_EPOCH").toLongLong(&ok);
    return ok ? QDateTime::fromSecsSinceEpoch(epoch, Qt::UTC) : QDateTime::currentDateTimeUtc();
}

std::string Utf8(const QString &text) { return text.toUtf8().toStdString(); }

/// What the record walk collects for the setup and the duration.
struct Walked {
    std::array<uint64_t, kChannelSlots> counts{};
    uint64_t lastTime = 0;  // timestamp units
};

/// Appends the photons and markers of every record, block by block.
template <class Format>
bool WritePhotons(FotonelServices &host, const pqFile &file, Builder &out, std::size_t block, bool nanotimes,
                  std::size_t timestamps, std::size_t detectors, std::size_t dtimes, std::size_t markerTimes,
                  std::size_t markerBits, Walked &walked)
{
    std::vector<int64_t> times, marks;
    std::vector<uint8_t> channels, bits;
    std::vector<uint16_t> delays;
    times.reserve(block);
    channels.reserve(block);
    if (nanotimes)
        delays.reserve(block);
    const auto flush = [&] {
        out.Append(timestamps, times.data(), times.size());
        out.Append(detectors, channels.data(), channels.size());
        if (nanotimes)
            out.Append(dtimes, delays.data(), delays.size());
        out.Append(markerTimes, marks.data(), marks.size());
        out.Append(markerBits, bits.data(), bits.size());
        times.clear(), channels.clear(), delays.clear(), marks.clear(), bits.clear();
        return out.ok;
    };
    T3RecordCursor<Format> cursor(host, file);
    cursor.Rewind();
    const uint32_t records = cursor.recordCount;
    while (cursor.Next()) {
        const uint32_t marker = cursor.marker;
        if (marker == PHOTON_MARKER) {
            times.push_back(static_cast<int64_t>(cursor.truensync));
            channels.push_back(static_cast<uint8_t>(cursor.channel));
            if (nanotimes)
                delays.push_back(static_cast<uint16_t>(cursor.dtime));
            ++walked.counts[cursor.channel < kChannelSlots ? cursor.channel : 0];
        } else if (marker >= 1 && marker <= 15) {
            marks.push_back(static_cast<int64_t>(cursor.truensync));
            bits.push_back(static_cast<uint8_t>(marker));
        }
        walked.lastTime = std::max<uint64_t>(walked.lastTime, cursor.truensync);
        if (times.size() >= block || marks.size() >= block) {
            if (!flush())
                return false;
            host.SetProgress(static_cast<int>(100.0 * cursor.index / std::max<uint32_t>(records, 1)));
        }
    }
    return flush();
}

QString FileTime(const QDateTime &time) { return time.toUTC().toString(QString::fromLatin1(kTimeFormat)); }

} // namespace

PhotonHdf5Writer::PhotonHdf5Writer(FotonelServices &host, const pqFile &file) : host(host), file(file) {}

bool PhotonHdf5Writer::Write()
{
    const QString name = file.exportBase + QStringLiteral(".h5");
    const auto failed = [&] {
        host.AddMessage(MessageError, QObject::tr("Failed to save Photon-HDF5 file %1").arg(name));
        return false;
    };
    // The library prints its own error stack on standard error: every
    // failure reaches this function through the return values instead.
    // A file whose close failed (a full disk) stays in the library's list,
    // and the library's own clean-up at exit would crash on it (HDF5 1.10):
    // it gets no clean-up at exit.
    static const bool quiet = [] {
        H5dont_atexit();
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
        return true;
    }();
    (void)quiet;
    const bool t2 = file.TimeTags();
    const double unit = file.SyncPeriod() * 1e-9;  // s: a sync period, or a T2 file's time-tag unit
    if (!file.ok || !(unit > 0) || !std::isfinite(unit))
        return failed();
    host.AddMessage(MessageNormal, QObject::tr("Saving Photon-HDF5 file %1...").arg(name));
    host.SetProgress(0);

    // The temporary name is made and removed by the program's one writer;
    // the library writes it through descriptors of its own.
    AtomicFile reserved(name);
    if (!reserved.Open())
        return failed();
    {
        Handle fcpl(H5Pcreate(H5P_FILE_CREATE), H5Pclose);
        if (!fcpl.Valid() || H5Pset_obj_track_times(fcpl, 0) < 0)
            return failed();
        Handle fapl(H5Pcreate(H5P_FILE_ACCESS), H5Pclose);
        if (!fapl.Valid() || H5Pset_fclose_degree(fapl, H5F_CLOSE_STRONG) < 0)
            return failed();
        Handle h5(H5Fcreate(QFile::encodeName(reserved.TemporaryName()).constData(), H5F_ACC_TRUNC, fcpl, fapl),
                  H5Fclose);
        if (!h5.Valid())
            return failed();
        Builder out(h5);
        const QFileInfo source(file.fileName);
        const QString version = host.GetVersion();
        out.Title(h5, "/");
        out.String("/format_name", "Photon-HDF5");
        out.String("/format_version", "0.5");
        out.String("/description", Utf8(QStringLiteral("%1 converted by Fotonel %2").arg(source.fileName(), version)));

        // Photon data: growing arrays, written as the records are walked.
        const bool nanotimes = !t2;
        const hsize_t chunk = std::max<hsize_t>(1, std::min<hsize_t>(chunkRecords, 65536));
        out.Group("/photon_data");
        const std::size_t timestamps = out.Growing("/photon_data/timestamps", H5T_STD_I64LE, H5T_NATIVE_INT64, chunk);
        const std::size_t detectors = out.Growing("/photon_data/detectors", H5T_STD_U8LE, H5T_NATIVE_UINT8, chunk);
        const std::size_t dtimes =
            nanotimes ? out.Growing("/photon_data/nanotimes", H5T_STD_U16LE, H5T_NATIVE_UINT16, chunk) : 0;
        out.Group("/user");
        out.Group("/user/markers");
        const std::size_t markerTimes = out.Growing("/user/markers/timestamps", H5T_STD_I64LE, H5T_NATIVE_INT64, chunk);
        const std::size_t markerBits = out.Growing("/user/markers/bits", H5T_STD_U8LE, H5T_NATIVE_UINT8, chunk);
        Walked walked;
        WithAnyRecordFormat(file.recordFormat, [&](auto format) {
            WritePhotons<decltype(format)>(host, file, out, std::max<std::size_t>(1, chunkRecords), nanotimes,
                                           timestamps, detectors, dtimes, markerTimes, markerBits, walked);
        });

        out.Group("/photon_data/timestamps_specs");
        out.Scalar("/photon_data/timestamps_specs/timestamps_unit", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, unit);
        if (nanotimes) {
            const double tcspcUnit = file.Resolution() * 1e-9;
            const int64_t bins = file.DelayBins();
            out.Group("/photon_data/nanotimes_specs");
            out.Scalar("/photon_data/nanotimes_specs/tcspc_unit", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, tcspcUnit);
            out.Scalar("/photon_data/nanotimes_specs/tcspc_num_bins", H5T_STD_I64LE, H5T_NATIVE_INT64, bins);
            out.Scalar("/photon_data/nanotimes_specs/tcspc_range", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE,
                       tcspcUnit * static_cast<double>(bins));
        }
        out.Group("/photon_data/measurement_specs");
        out.String("/photon_data/measurement_specs/measurement_type", "generic");
        // The laser fires once per sync period; a T2 file knows its rate only from its sync records.
        if (file.HasDelays())
            out.Scalar("/photon_data/measurement_specs/laser_repetition_rate", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE,
                       1e9 / file.DelayRange());
        // One spectral band, polarization and split channel: no channel lists.
        out.Group("/photon_data/measurement_specs/detectors_specs");

        std::vector<uint8_t> ids;
        std::vector<int64_t> counts;
        for (uint32_t c = 1; c < kChannelSlots; ++c)
            if (walked.counts[c] > 0) {
                ids.push_back(static_cast<uint8_t>(c));
                counts.push_back(static_cast<int64_t>(walked.counts[c]));
            }
        out.Scalar("/acquisition_duration", H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, static_cast<double>(walked.lastTime) * unit);
        out.Group("/setup");
        out.Scalar("/setup/num_pixels", H5T_STD_I64LE, H5T_NATIVE_INT64, static_cast<int64_t>(ids.size()));
        out.Scalar("/setup/num_spots", H5T_STD_I64LE, H5T_NATIVE_INT64, int64_t{1});
        out.Scalar("/setup/num_spectral_ch", H5T_STD_I64LE, H5T_NATIVE_INT64, int64_t{1});
        out.Scalar("/setup/num_polarization_ch", H5T_STD_I64LE, H5T_NATIVE_INT64, int64_t{1});
        out.Scalar("/setup/num_split_ch", H5T_STD_I64LE, H5T_NATIVE_INT64, int64_t{1});
        out.Scalar("/setup/modulated_excitation", H5T_STD_U8LE, H5T_NATIVE_UINT8, uint8_t{0});
        out.Array("/setup/excitation_alternated", H5T_STD_U8LE, H5T_NATIVE_UINT8, std::vector<uint8_t>{0});
        out.Scalar("/setup/lifetime", H5T_STD_U8LE, H5T_NATIVE_UINT8, static_cast<uint8_t>(nanotimes ? 1 : 0));
        out.Array("/setup/excitation_cw", H5T_STD_U8LE, H5T_NATIVE_UINT8, std::vector<uint8_t>{0});
        out.Group("/setup/detectors");
        out.Array("/setup/detectors/id", H5T_STD_U8LE, H5T_NATIVE_UINT8, ids);
        out.Array("/setup/detectors/counts", H5T_STD_I64LE, H5T_NATIVE_INT64, counts);

        out.Group("/identity");
        out.String("/identity/format_name", "Photon-HDF5");
        out.String("/identity/format_version", "0.5");
        out.String("/identity/format_url", "http://photon-hdf5.org/");
        out.String("/identity/software", "Fotonel");
        out.String("/identity/software_version", Utf8(version));
        out.String("/identity/creation_time", Utf8(FileTime(CreationTime())));
        out.String("/identity/filename", Utf8(QFileInfo(name).fileName()));

        out.Group("/provenance");
        out.String("/provenance/filename", Utf8(source.fileName()));
        out.String("/provenance/filename_full", Utf8(source.absoluteFilePath()));
        const QDateTime born = source.birthTime();
        out.String("/provenance/creation_time", Utf8(FileTime(born.isValid() ? born : source.lastModified())));
        out.String("/provenance/modification_time", Utf8(FileTime(source.lastModified())));

        // Closing writes the library's remaining metadata: a full disk shows here too.
        const bool written = out.CloseArrays() && H5Fflush(h5, H5F_SCOPE_LOCAL) >= 0;
        if (!h5.Close() || !written) {
            // The library may keep its descriptor of the failed file: emptied
            // through ours, it holds no space once the name is removed.
            if (::ftruncate(reserved.Descriptor(), 0) != 0)
                reserved.Fail(errno);
            return failed();
        }
    }
    if (!reserved.Commit())
        return failed();
    host.SetProgress(100);
    host.AddMessage(MessageNormal, QObject::tr("Saved Photon-HDF5 file %1").arg(name));
    return true;
}
