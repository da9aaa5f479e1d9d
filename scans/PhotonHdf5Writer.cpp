#include "scans/PhotonHdf5Writer.h"

#include "files/AtomicFile.h"
#include "files/RecordFormat.h"
#include "files/T3RecordCursor.h"
#include "files/pqFile.h"
#include "hdf5/Hdf5Writer.h"
#include "host/FotonelServices.h"
#include "scans/Hdf5Module.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
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

/// TITLE of node \p path; null (a failure in the module) for a node without one.
const char *TitleOf(const std::string &path)
{
    const auto found = kTitles.find(path);
    return found == kTitles.end() ? nullptr : found->second;
}

/// How values of type T are stored: little-endian, as wide as T.
template <class T> constexpr FotonelHdf5Type ElementType()
{
    if constexpr (std::is_same_v<T, int64_t>)
        return FOTONEL_HDF5_I64;
    else if constexpr (std::is_same_v<T, uint8_t>)
        return FOTONEL_HDF5_U8;
    else if constexpr (std::is_same_v<T, uint16_t>)
        return FOTONEL_HDF5_U16;
    else {
        static_assert(std::is_same_v<T, double>, "no stored type for this value type");
        return FOTONEL_HDF5_F64;
    }
}

/*!
 * The nodes of one file, written through the HDF5 module. The first failed
 * call makes every later step a no-op returning false; the file is closed
 * at the latest when this is destroyed.
 */
class Builder {
public:
    Builder(const FotonelHdf5Api &api, FotonelHdf5File *file) : api(api), file(file) {}
    ~Builder()
    {
        if (file)
            api.close(file);
    }
    Builder(const Builder &) = delete;
    Builder &operator=(const Builder &) = delete;
    bool ok = true;

    bool Check(bool good)
    {
        ok = ok && good;
        return ok;
    }
    bool RootTitle() { return Check(api.rootTitle(file, TitleOf("/"))); }
    bool Group(const std::string &path) { return Check(api.group(file, path.c_str(), TitleOf(path))); }
    bool String(const std::string &path, const std::string &text)
    {
        return Check(api.string(file, path.c_str(), text.data(), text.size(), TitleOf(path)));
    }
    template <class T> bool Scalar(const std::string &path, T value)
    {
        return Check(api.scalar(file, path.c_str(), ElementType<T>(), &value, TitleOf(path)));
    }
    template <class T> bool Array(const std::string &path, const std::vector<T> &values)
    {
        return Check(api.array(file, path.c_str(), ElementType<T>(), values.data(), values.size(), TitleOf(path)));
    }
    /// An empty array of unlimited length, stored in chunks of \p chunk values; its number for Append.
    template <class T> int64_t Growing(const std::string &path, uint64_t chunk)
    {
        const int64_t array = api.growing(file, path.c_str(), ElementType<T>(), chunk, TitleOf(path));
        Check(array >= 0);
        return array;
    }
    /// Appends \p count values at \p data to growing array \p which.
    bool Append(int64_t which, const void *data, uint64_t count) { return Check(api.append(file, which, data, count)); }
    /// Closes the arrays and the file; false when anything failed on the way.
    bool Close()
    {
        FotonelHdf5File *closing = file;
        file = nullptr;
        return Check(api.close(closing));
    }

private:
    const FotonelHdf5Api &api;
    FotonelHdf5File *file;
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
                  int64_t timestamps, int64_t detectors, int64_t dtimes, int64_t markerTimes,
                  int64_t markerBits, Walked &walked)
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
    const bool t2 = file.TimeTags();
    const double unit = file.SyncPeriod() * 1e-9;  // s: a sync period, or a T2 file's time-tag unit
    if (!file.ok || !(unit > 0) || !std::isfinite(unit))
        return failed();
    host.AddMessage(MessageNormal, QObject::tr("Saving Photon-HDF5 file %1...").arg(name));
    host.SetProgress(0);
    // The HDF5 library is loaded with the first file written.
    QString loadError;
    const FotonelHdf5Api *api = LoadHdf5Module(loadError);
    if (!api) {
        host.AddMessage(MessageError, loadError);
        return failed();
    }

    // The temporary name is made and removed by the program's one writer;
    // the library writes it through descriptors of its own.
    AtomicFile reserved(name);
    if (!reserved.Open())
        return failed();
    {
        FotonelHdf5File *h5 = api->create(QFile::encodeName(reserved.TemporaryName()).constData());
        if (!h5)
            return failed();
        Builder out(*api, h5);
        const QFileInfo source(file.fileName);
        const QString version = host.GetVersion();
        out.RootTitle();
        out.String("/format_name", "Photon-HDF5");
        out.String("/format_version", "0.5");
        out.String("/description", Utf8(QStringLiteral("%1 converted by Fotonel %2").arg(source.fileName(), version)));

        // Photon data: growing arrays, written as the records are walked.
        const bool nanotimes = !t2;
        const uint64_t chunk = std::max<uint64_t>(1, std::min<uint64_t>(chunkRecords, 65536));
        out.Group("/photon_data");
        const int64_t timestamps = out.Growing<int64_t>("/photon_data/timestamps", chunk);
        const int64_t detectors = out.Growing<uint8_t>("/photon_data/detectors", chunk);
        const int64_t dtimes =
            nanotimes ? out.Growing<uint16_t>("/photon_data/nanotimes", chunk) : 0;
        out.Group("/user");
        out.Group("/user/markers");
        const int64_t markerTimes = out.Growing<int64_t>("/user/markers/timestamps", chunk);
        const int64_t markerBits = out.Growing<uint8_t>("/user/markers/bits", chunk);
        Walked walked;
        WithAnyRecordFormat(file.recordFormat, [&](auto format) {
            WritePhotons<decltype(format)>(host, file, out, std::max<std::size_t>(1, chunkRecords), nanotimes,
                                           timestamps, detectors, dtimes, markerTimes, markerBits, walked);
        });

        out.Group("/photon_data/timestamps_specs");
        out.Scalar("/photon_data/timestamps_specs/timestamps_unit", unit);
        if (nanotimes) {
            const double tcspcUnit = file.Resolution() * 1e-9;
            const int64_t bins = file.DelayBins();
            out.Group("/photon_data/nanotimes_specs");
            out.Scalar("/photon_data/nanotimes_specs/tcspc_unit", tcspcUnit);
            out.Scalar("/photon_data/nanotimes_specs/tcspc_num_bins", bins);
            out.Scalar("/photon_data/nanotimes_specs/tcspc_range",
                       tcspcUnit * static_cast<double>(bins));
        }
        out.Group("/photon_data/measurement_specs");
        out.String("/photon_data/measurement_specs/measurement_type", "generic");
        // The laser fires once per sync period; a T2 file knows its rate only from its sync records.
        if (file.HasDelays())
            out.Scalar("/photon_data/measurement_specs/laser_repetition_rate",
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
        out.Scalar("/acquisition_duration", static_cast<double>(walked.lastTime) * unit);
        out.Group("/setup");
        out.Scalar("/setup/num_pixels", static_cast<int64_t>(ids.size()));
        out.Scalar("/setup/num_spots", int64_t{1});
        out.Scalar("/setup/num_spectral_ch", int64_t{1});
        out.Scalar("/setup/num_polarization_ch", int64_t{1});
        out.Scalar("/setup/num_split_ch", int64_t{1});
        out.Scalar("/setup/modulated_excitation", uint8_t{0});
        out.Array("/setup/excitation_alternated", std::vector<uint8_t>{0});
        out.Scalar("/setup/lifetime", static_cast<uint8_t>(nanotimes ? 1 : 0));
        out.Array("/setup/excitation_cw", std::vector<uint8_t>{0});
        out.Group("/setup/detectors");
        out.Array("/setup/detectors/id", ids);
        out.Array("/setup/detectors/counts", counts);

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
        if (!out.Close()) {
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
