// The Photon-HDF5 export read back through the HDF5 library: mandatory fields, TITLEs, photons.
#include "support/ConvertHelpers.h"
#include "support/ConvertRun.h"
#include "support/TestHost.h"
#include "files/PhotonFileFactory.h"
#include "files/pqFile.h"
#include "scans/Conversion.h"
#include "scans/PhotonHdf5Writer.h"
#include "scans/RSD.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <hdf5.h>

#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

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

/// The TITLE attribute of \p path (\p title set) or its fixed-length string dataset; "(none)" without it.
std::string Text(hid_t file, const std::string &path, bool title)
{
    const char *at = path.c_str();
    if (title ? H5Aexists_by_name(file, at, "TITLE", H5P_DEFAULT) <= 0 : H5Lexists(file, at, H5P_DEFAULT) <= 0)
        return "(none)";
    const hid_t object = title ? H5Aopen_by_name(file, at, "TITLE", H5P_DEFAULT, H5P_DEFAULT) : H5Dopen2(file, at, H5P_DEFAULT);
    const hid_t type = title ? H5Aget_type(object) : H5Dget_type(object);
    std::string text(H5Tget_size(type), '\0');
    EXPECT_GE(title ? H5Aread(object, type, text.data())
                    : H5Dread(object, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, text.data()), 0) << path;
    H5Tclose(type);
    title ? H5Aclose(object) : H5Dclose(object);
    return text.substr(0, text.find('\0'));
}

/// path -> TITLE of every row of the field list (numbered groups unnumbered).
std::map<std::string, std::string> FieldTitles(const QString &fieldsFile)
{
    std::map<std::string, std::string> titles;
    const QRegularExpression row(QStringLiteral("^\\| `(/[^`]*)` \\| [a-z]+ \\| (.*) \\|$"));
    for (const QString &line : QString::fromUtf8(ReadAll(fieldsFile)).split('\n')) {
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
    // Photons on three channels over 2.5 s of 25 ns periods: many overflows of the 16-bit sync counter.
    std::mt19937_64 random(7);
    std::exponential_distribution<double> gap(1.0 / 20000);
    std::uniform_int_distribution<uint32_t> channel(1, 3), dtime(0, 4095);
    std::vector<synth::PointPhoton> photons;
    for (double sync = 10; sync < 1e8; sync += gap(random))
        photons.push_back({static_cast<uint64_t>(sync), channel(random), dtime(random)});
    QTemporaryDir dir;
    const synth::GeneratedScan point = synth::MakePointMeasurement(photons);
    ASSERT_TRUE(synth::WritePt3(dir.filePath("run.pt3"), synth::Pt3Header(), point.words));
    const ConvertRun run = Convert({"--export", "photon-hdf5", dir.filePath("run.pt3")});
    ASSERT_EQ(run.code, 0) << run.out.toStdString();

    const hid_t file = H5Fopen(QFile::encodeName(dir.filePath("run_export/run.h5")).constData(), H5F_ACC_RDONLY, H5P_DEFAULT);
    ASSERT_GE(file, 0);
    // Every node carries the TITLE of the field list (the free /user group one of its own).
    for (const std::string &node : Nodes(file)) {
        if (node.rfind("/user", 0) == 0)
            EXPECT_NE(Text(file, node, true), "(none)") << node;
        else
            EXPECT_EQ(Text(file, node, true), titles.count(node) ? titles.at(node) : "(not in the list)") << node;
    }
    // The mandatory fields that are not read below.
    for (const char *path : {"/description", "/photon_data/measurement_specs/detectors_specs", "/identity/format_name",
                             "/identity/format_version", "/identity/format_url", "/identity/software_version",
                             "/identity/creation_time", "/provenance/creation_time"})
        EXPECT_GT(H5Lexists(file, path, H5P_DEFAULT), 0) << path;
    const std::map<std::string, std::string> texts = {
        {"/format_name", "Photon-HDF5"}, {"/format_version", "0.5"}, {"/identity/software", "Fotonel"},
        {"/photon_data/measurement_specs/measurement_type", "generic"}, {"/provenance/filename", "run.pt3"}};
    for (const auto &[path, text] : texts)
        EXPECT_EQ(Text(file, path, false), text) << path;

    // The photons as the records hold them: true sync counts, dtime, channel.
    const auto timestamps = ReadArray<int64_t>(file, "/photon_data/timestamps", H5T_NATIVE_INT64);
    const auto nanotimes = ReadArray<uint16_t>(file, "/photon_data/nanotimes", H5T_NATIVE_UINT16);
    const auto detectors = ReadArray<uint8_t>(file, "/photon_data/detectors", H5T_NATIVE_UINT8);
    ASSERT_TRUE(timestamps.size() == photons.size() && nanotimes.size() == photons.size() &&
                detectors.size() == photons.size());
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
        {"/photon_data/nanotimes_specs/tcspc_range", 4096 * 4e-12},
        {"/photon_data/measurement_specs/laser_repetition_rate", 40e6},
        {"/acquisition_duration", photons.back().sync * 25e-9},
        {"/setup/num_pixels", 3}, {"/setup/num_spots", 1}, {"/setup/lifetime", 1}, {"/setup/modulated_excitation", 0},
        {"/setup/excitation_cw", 0}, {"/setup/excitation_alternated", 0}, {"/setup/num_spectral_ch", 1},
        {"/setup/num_polarization_ch", 1}, {"/setup/num_split_ch", 1}};
    for (const auto &[path, value] : numbers) {
        const auto read = ReadArray<double>(file, path.c_str(), H5T_NATIVE_DOUBLE);
        ASSERT_EQ(read.size(), 1u) << path;
        EXPECT_NEAR(read[0], value, std::abs(value) * 1e-6) << path;
    }
    EXPECT_GE(H5Fclose(file), 0);
}

// Markers go under /user/markers; arrays written in small chunks hold the
// same values as in large ones.
TEST(PhotonHdf5, MarkersAndChunksOfAnImageScan)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("run.pt3");
    synth::ImageScanPlan plan;
    plan.width = 8, plan.height = 4, plan.frames = 3;
    plan.photonCount = [](int f, int y, int x, uint32_t) { return (x + y + f) % 3; };
    const synth::GeneratedScan scan = synth::MakeImageScan(plan);
    ASSERT_TRUE(WriteImagePt3(path, plan));
    std::vector<std::vector<int64_t>> arrays[2];
    for (std::size_t chunk : {PhotonHdf5Writer::kChunkRecords, std::size_t{5}}) {
        TestHost host;
        std::unique_ptr<pqFile> file = MakePhotonFile(host, path);
        std::unique_ptr<RSD> analysis;
        ASSERT_TRUE(file->Open(path) && ConvertFile(host, path, file.get(), analysis));
        PhotonHdf5Writer writer(host, *file);
        writer.chunkRecords = chunk;
        ASSERT_TRUE(writer.Write());
        const hid_t h5 = H5Fopen(QFile::encodeName(dir.filePath("run_export/run.h5")).constData(), H5F_ACC_RDONLY, H5P_DEFAULT);
        ASSERT_GE(h5, 0);
        for (const char *array : {"/photon_data/timestamps", "/photon_data/nanotimes", "/photon_data/detectors",
                                  "/user/markers/timestamps", "/user/markers/bits"})
            arrays[chunk == 5].push_back(ReadArray<int64_t>(h5, array, H5T_NATIVE_INT64));
        H5Fclose(h5);
    }
    EXPECT_EQ(arrays[0], arrays[1]);
    EXPECT_EQ(arrays[0][0].size(), scan.photons);
    // Line starts (1), line ends (2) and frame markers (4), in time order.
    const std::vector<int64_t> &bits = arrays[0][4];
    EXPECT_EQ(bits.size(), scan.lineStarts + scan.lineEnds + scan.frameMarkers);
    EXPECT_EQ(std::count(bits.begin(), bits.end(), 4), static_cast<long>(scan.frameMarkers));
    EXPECT_TRUE(std::is_sorted(arrays[0][3].begin(), arrays[0][3].end()));
    std::vector<uint64_t> lineStarts;
    for (std::size_t i = 0; i < bits.size(); ++i)
        if (bits[i] == 1)
            lineStarts.push_back(static_cast<uint64_t>(arrays[0][3][i]));
    EXPECT_EQ(lineStarts, scan.lineStartSyncs);
}

// A missing module is named with the loader's reason and leaves no output; in its own process, as a loaded module
// stays loaded.
TEST(PhotonHdf5, MissingModuleIsAClearFailure)
{
    const struct {
        const char *variable;
        QStringList options;
        QString message;  ///< followed by the folder searched and the module's file name
        QString module;
        QString leftovers;
    } cases[] = {
        {"FOTONEL_HDF5_MODULE_DIR", {"--export", "photon-hdf5"}, "Cannot load the HDF5 module libfotonel_hdf5.so: ",
         "libfotonel_hdf5.so", "*h5*"},
        {"FOTONEL_FIT_MODULE_DIR", {"--correlate", "--fit", "3D"},
         "Fit of G11 refused: cannot load the fit module libfotonel_fit.so: ", "libfotonel_fit.so", "*fit*"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.variable);
        QTemporaryDir dir, empty;
        ASSERT_TRUE(synth::WritePt3(dir.filePath("run.pt3"), synth::Pt3Header(),
                                    synth::MakePointMeasurement({{10, 1, 5}, {90, 2, 7}}).words));
        qputenv(c.variable, QFile::encodeName(empty.path()));
        const ProcessRun run = RunProcess(c.options + QStringList{dir.filePath("run.pt3")});
        qunsetenv(c.variable);
        EXPECT_NE(run.code, 0);
        EXPECT_TRUE(run.out.contains(c.message + empty.path() + "/" + c.module + ": cannot open shared object file"))
            << run.out.toStdString();
        EXPECT_EQ(QDir(dir.filePath("run_export")).entryList({c.leftovers}, QDir::Files | QDir::Hidden), QStringList());
    }
}
