// The Photon-HDF5 export read back through the HDF5 library and h5dump: every
// mandatory field with the format's TITLE, the photons of a synthetic file.
#include "support/ConvertRun.h"
#include "support/TestHost.h"
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/PhotonHdf5Writer.h"
#include "scans/RSD.h"
#include "tools/synth/ScanGenerator.h"
#include "tools/synth/SyntheticFile.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <hdf5.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

/// Photons on three channels over 2.5 s of 25 ns periods: many overflows of the 16-bit sync counter.
std::vector<synth::PointPhoton> Photons()
{
    std::mt19937_64 random(7);
    std::exponential_distribution<double> gap(1.0 / 20000);
    std::uniform_int_distribution<uint32_t> channel(1, 3), dtime(0, 4095);
    std::vector<synth::PointPhoton> photons;
    for (double sync = 10; sync < 1e8; sync += gap(random))
        photons.push_back({static_cast<uint64_t>(sync), channel(random), dtime(random)});
    return photons;
}

template <class T> std::vector<T> ReadArray(hid_t file, const char *path, hid_t type)
{
    std::vector<T> values;
    const hid_t set = H5Dopen2(file, path, H5P_DEFAULT);
    if (set < 0)
        return values;
    const hid_t space = H5Dget_space(set);
    values.resize(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space)));
    EXPECT_GE(H5Dread(set, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0) << path;
    H5Sclose(space);
    H5Dclose(set);
    return values;
}

/// A fixed-length string dataset or attribute value.
std::string ReadString(hid_t object, bool attribute)
{
    const hid_t type = attribute ? H5Aget_type(object) : H5Dget_type(object);
    std::string text(H5Tget_size(type), '\0');
    const herr_t read = attribute ? H5Aread(object, type, text.data()) : H5Dread(object, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, text.data());
    EXPECT_GE(read, 0);
    H5Tclose(type);
    return text.substr(0, text.find('\0'));
}

std::string Title(hid_t file, const std::string &path)
{
    if (H5Aexists_by_name(file, path.c_str(), "TITLE", H5P_DEFAULT) <= 0)
        return "(none)";
    const hid_t attribute = H5Aopen_by_name(file, path.c_str(), "TITLE", H5P_DEFAULT, H5P_DEFAULT);
    const std::string title = ReadString(attribute, true);
    H5Aclose(attribute);
    return title;
}

std::string StringAt(hid_t file, const char *path)
{
    const hid_t set = H5Dopen2(file, path, H5P_DEFAULT);
    if (set < 0)
        return "(missing)";
    const std::string text = ReadString(set, false);
    H5Dclose(set);
    return text;
}

/// path -> TITLE of every row of the field list (numbered groups unnumbered).
std::map<std::string, std::string> FieldTitles(const QString &fieldsFile)
{
    std::map<std::string, std::string> titles;
    QFile in(fieldsFile);
    if (!in.open(QIODevice::ReadOnly))
        return titles;
    const QRegularExpression row(QStringLiteral("^\\| `(/[^`]*)` \\| [a-z]+ \\| (.*) \\|$"));
    for (const QString &line : QString::fromUtf8(in.readAll()).split('\n')) {
        const QRegularExpressionMatch m = row.match(line);
        if (m.hasMatch())
            titles[m.captured(1).remove(QStringLiteral("?N")).toStdString()] = m.captured(2).toStdString();
    }
    return titles;
}

std::vector<std::string> Nodes(hid_t file)
{
    std::vector<std::string> nodes{"/"};
    H5Ovisit(file, H5_INDEX_NAME, H5_ITER_INC,
             [](hid_t, const char *name, const H5O_info_t *, void *data) -> herr_t {
                 if (std::string(name) != ".")
                     static_cast<std::vector<std::string> *>(data)->push_back("/" + std::string(name));
                 return 0;
             },
             &nodes);
    return nodes;
}

} // namespace

TEST(PhotonHdf5, FieldsTitlesAndPhotonsOfASyntheticFile)
{
    const QString fieldsFile = QStringLiteral(FOTONEL_SOURCE_DIR "/../shared/photon-hdf5-fields.md");
    const std::map<std::string, std::string> titles = FieldTitles(fieldsFile);
    if (titles.empty())
        GTEST_SKIP() << "no field list at " << fieldsFile.toStdString();
    QTemporaryDir dir;
    const std::vector<synth::PointPhoton> photons = Photons();
    const synth::GeneratedScan point = synth::MakePointMeasurement(photons);
    ASSERT_TRUE(synth::WritePt3(dir.filePath("run.pt3"), synth::Pt3Header(), point.words));
    const ConvertRun run = Convert({"--export", "photon-hdf5", dir.filePath("run.pt3")});
    ASSERT_EQ(run.code, 0) << run.out.toStdString();
    const QString h5 = dir.filePath("run_export/run.h5");

    const hid_t file = H5Fopen(QFile::encodeName(h5).constData(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    // Every node carries the TITLE of the field list (the free /user group one of its own).
    const std::vector<std::string> nodes = Nodes(file);
    for (const std::string &node : nodes) {
        if (node.rfind("/user", 0) == 0)
            EXPECT_NE(Title(file, node), "(none)") << node;
        else
            EXPECT_EQ(Title(file, node), titles.count(node) ? titles.at(node) : "(not in the list)") << node;
    }
    const char *mandatory[] = {
        "/acquisition_duration", "/description", "/format_name", "/format_version", "/photon_data/timestamps",
        "/photon_data/timestamps_specs/timestamps_unit", "/photon_data/detectors", "/photon_data/nanotimes",
        "/photon_data/nanotimes_specs/tcspc_unit", "/photon_data/nanotimes_specs/tcspc_num_bins",
        "/photon_data/nanotimes_specs/tcspc_range", "/photon_data/measurement_specs/measurement_type",
        "/photon_data/measurement_specs/laser_repetition_rate", "/photon_data/measurement_specs/detectors_specs",
        "/setup/num_pixels", "/setup/num_spots", "/setup/num_spectral_ch", "/setup/num_polarization_ch",
        "/setup/num_split_ch", "/setup/modulated_excitation", "/setup/excitation_alternated", "/setup/lifetime",
        "/setup/excitation_cw", "/setup/detectors/id", "/setup/detectors/counts", "/identity/format_name",
        "/identity/format_version", "/identity/format_url", "/identity/software", "/identity/software_version",
        "/identity/creation_time", "/provenance/filename", "/provenance/creation_time"};
    for (const char *path : mandatory)
        EXPECT_GT(H5Lexists(file, path, H5P_DEFAULT), 0) << path;
    EXPECT_EQ(StringAt(file, "/format_name"), "Photon-HDF5");
    EXPECT_EQ(StringAt(file, "/format_version"), "0.5");
    EXPECT_EQ(StringAt(file, "/photon_data/measurement_specs/measurement_type"), "generic");
    EXPECT_EQ(StringAt(file, "/identity/software"), "Fotonel");
    EXPECT_EQ(StringAt(file, "/provenance/filename"), "run.pt3");

    // The photons as the records hold them: true sync counts, dtime, channel.
    const auto timestamps = ReadArray<int64_t>(file, "/photon_data/timestamps", H5T_NATIVE_INT64);
    const auto nanotimes = ReadArray<uint16_t>(file, "/photon_data/nanotimes", H5T_NATIVE_UINT16);
    const auto detectors = ReadArray<uint8_t>(file, "/photon_data/detectors", H5T_NATIVE_UINT8);
    ASSERT_EQ(timestamps.size(), photons.size());
    ASSERT_EQ(nanotimes.size(), photons.size());
    ASSERT_EQ(detectors.size(), photons.size());
    bool same = true;
    for (std::size_t i = 0; i < photons.size() && same; ++i)
        same = timestamps[i] == static_cast<int64_t>(photons[i].sync) && nanotimes[i] == photons[i].dtime &&
               detectors[i] == photons[i].channel;
    EXPECT_TRUE(same);
    EXPECT_EQ(ReadArray<uint8_t>(file, "/setup/detectors/id", H5T_NATIVE_UINT8), (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(ReadArray<int64_t>(file, "/setup/detectors/counts", H5T_NATIVE_INT64),
              (std::vector<int64_t>{static_cast<int64_t>(point.photonsPerChannel[1]),
                                    static_cast<int64_t>(point.photonsPerChannel[2]),
                                    static_cast<int64_t>(point.photonsPerChannel[3])}));
    const std::map<std::string, double> numbers = {
        {"/photon_data/timestamps_specs/timestamps_unit", 25e-9},
        {"/photon_data/nanotimes_specs/tcspc_unit", 4e-12},
        {"/photon_data/nanotimes_specs/tcspc_num_bins", 4096},
        {"/photon_data/measurement_specs/laser_repetition_rate", 40e6},
        {"/acquisition_duration", photons.back().sync * 25e-9},
        {"/setup/num_pixels", 3}, {"/setup/num_spots", 1}, {"/setup/lifetime", 1}, {"/setup/modulated_excitation", 0},
        {"/setup/excitation_cw", 0}, {"/setup/excitation_alternated", 0}};
    for (const auto &[path, value] : numbers) {
        const auto read = ReadArray<double>(file, path.c_str(), H5T_NATIVE_DOUBLE);
        ASSERT_EQ(read.size(), 1u) << path;
        EXPECT_NEAR(read[0], value, std::abs(value) * 1e-6) << path;
    }
    EXPECT_GE(H5Fclose(file), 0);

    if (QProcess::execute("h5dump", {"--version"}) != 0) {
        std::cout << "[ SKIPPED  ] h5dump is not installed\n";
        return;
    }
    QProcess dump;
    dump.start("h5dump", {"-H", h5});
    ASSERT_TRUE(dump.waitForFinished());
    EXPECT_EQ(dump.exitCode(), 0);
    EXPECT_TRUE(dump.readAllStandardOutput().contains("DATASET \"timestamps\""));
}

// Markers go under /user/markers; arrays written in small chunks hold the
// same values as in large ones.
TEST(PhotonHdf5, MarkersAndChunksOfAnImageScan)
{
    QTemporaryDir dir;
    synth::ImageScanPlan plan;
    plan.width = 8, plan.height = 4, plan.frames = 3;
    plan.photonCount = [](int f, int y, int x, uint32_t) { return (x + y + f) % 3; };
    const synth::GeneratedScan scan = synth::MakeImageScan(plan);
    synth::Pt3Header header;
    header.imagingHeader = {0, 0, 0, 0, 0, 0, 8, 4};
    ASSERT_TRUE(synth::WritePt3(dir.filePath("run.pt3"), header, scan.words));
    std::vector<std::vector<int64_t>> arrays[2];
    for (std::size_t chunk : {PhotonHdf5Writer::kChunkRecords, std::size_t{5}}) {
        TestHost host;
        std::unique_ptr<pqFile> file = MakePhotonFile(host, dir.filePath("run.pt3"));
        ASSERT_TRUE(file->Open(dir.filePath("run.pt3")));
        std::unique_ptr<RSD> analysis;
        ASSERT_TRUE(ConvertFile(host, dir.filePath("run.pt3"), file.get(), analysis));
        PhotonHdf5Writer writer(host, *file);
        writer.chunkRecords = chunk;
        ASSERT_TRUE(writer.Write());
        const hid_t h5 = H5Fopen(QFile::encodeName(dir.filePath("run_export/run.h5")).constData(), H5F_ACC_RDONLY, H5P_DEFAULT);
        ASSERT_GE(h5, 0);
        std::vector<std::vector<int64_t>> &read = arrays[chunk == 5];
        for (const char *path : {"/photon_data/timestamps", "/photon_data/nanotimes", "/photon_data/detectors",
                                 "/user/markers/timestamps", "/user/markers/bits"})
            read.push_back(ReadArray<int64_t>(h5, path, H5T_NATIVE_INT64));
        H5Fclose(h5);
    }
    EXPECT_EQ(arrays[0], arrays[1]);
    EXPECT_EQ(arrays[0][0].size(), scan.photons);
    // Line starts (1), line ends (2) and frame markers (4), in time order.
    const std::vector<int64_t> &bits = arrays[0][4];
    EXPECT_EQ(bits.size(), scan.lineStarts + scan.lineEnds + scan.frameMarkers);
    EXPECT_EQ(std::count(bits.begin(), bits.end(), 1), static_cast<long>(scan.lineStarts));
    EXPECT_EQ(std::count(bits.begin(), bits.end(), 4), static_cast<long>(scan.frameMarkers));
    EXPECT_TRUE(std::is_sorted(arrays[0][3].begin(), arrays[0][3].end()));
    std::vector<uint64_t> lineStarts;
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == 1)
            lineStarts.push_back(static_cast<uint64_t>(arrays[0][3][i]));
    EXPECT_EQ(lineStarts, scan.lineStartSyncs);
}

// Without its HDF5 module the export names the module and the loader's
// reason, fails, and leaves no file that could pass for the export.
TEST(PhotonHdf5, MissingModuleIsAClearFailure)
{
    QTemporaryDir dir, empty;
    ASSERT_TRUE(synth::WritePt3(dir.filePath("run.pt3"), synth::Pt3Header(),
                                synth::MakePointMeasurement({{10, 1, 5}, {90, 2, 7}}).words));
    qputenv("FOTONEL_HDF5_MODULE_DIR", QFile::encodeName(empty.path()));
    const ConvertRun run = Convert({"--export", "photon-hdf5", dir.filePath("run.pt3")});
    qunsetenv("FOTONEL_HDF5_MODULE_DIR");
    EXPECT_NE(run.code, 0);
    EXPECT_TRUE(run.out.contains("Cannot load the HDF5 module libfotonel_hdf5.so: " + empty.path() +
                                 "/libfotonel_hdf5.so: cannot open shared object file"))
        << run.out.toStdString();
    EXPECT_EQ(QDir(dir.filePath("run_export")).entryList({"*h5*"}, QDir::Files | QDir::Hidden), QStringList());
}
