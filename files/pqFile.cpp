#include "files/pqFile.h"

#include "host/FotonelServices.h"
#include "files/AtomicFile.h"
#include "files/HeaderText.h"
#include "files/RecordTable.h"
#include "files/T3RecordCursor.h"
#include "files/TwoThreads.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <array>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <new>
#include <vector>

pqFile::pqFile(FotonelServices &mainWindow) : mainWindow(mainWindow) {}

pqFile::~pqFile() = default;

double pqFile::SyncPeriod() const
{
    return static_cast<double>(std::numeric_limits<float>::quiet_NaN());
}

int pqFile::ImageWidth() const { return 0; }

int pqFile::ImageHeight() const { return 0; }

// A PicoHarp 300 has four detector channels; subclasses say so explicitly.
int pqFile::NumberOfChannels() const { return 4; }

double pqFile::Resolution() const
{
    return static_cast<double>(std::numeric_limits<float>::quiet_NaN());
}

int pqFile::NumberOfRecords() const { return ClippedRecordCount(HeaderRecordCount()); }

bool pqFile::ReadHeader(QFile &) { return false; }

void pqFile::WriteHeaderFile() {}

int64_t pqFile::HeaderRecordCount() const { return static_cast<int64_t>(records.size()); }

int pqFile::ClippedRecordCount(int64_t headerCount) const
{
    if (recordsRead)
        return static_cast<int>(std::min<int64_t>(headerCount, static_cast<int64_t>(records.size())));
    // Before the records are read: the low 32 bits, as the header holds them.
    return static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(headerCount)));
}

namespace {

/// The ASCII record table of \p file, read with the cursor of its layout.
template <class Format>
void WriteRecordTable(pqFile &file)
{
    FotonelServices &mainWindow = file.mainWindow;
    mainWindow.AddMessage(MessageNormal, QObject::tr("Writing records to ascii file"));
    T3RecordCursor<Format> cursor(mainWindow, file);
    const QString name = QStringLiteral("%1.dat").arg(file.exportBase);
    mainWindow.SetProgress(0);
    if (!file.ExportFolderExists())
        return;
    // Written under a temporary name: a dump that fails half-way leaves no table behind.
    AtomicFile out(name);
    if (file.NumberOfRecords() < 1 || cursor.recordCount < 1 || !out.Open()) {
        mainWindow.AddMessage(MessageError, QObject::tr("Failed to write records to file %1").arg(name));
        return;
    }

    // The columns are read once: a box clicked while the dump lets events
    // run must not change the lines below a header that names the others.
    const RecordTable::Columns columns = RecordTable::ReadColumns(mainWindow);
    std::string text;
    RecordTable::AppendHeader(text, columns);
    RecordTable::AppendLine(text, columns, 0, cursor);
    constexpr std::size_t kBlock = 1 << 20;
    const double last = cursor.recordCount > 1 ? cursor.recordCount - 1 : 1;
    bool written = true;
    while (cursor.Next() && written) {
        const uint32_t index = cursor.index;
        RecordTable::AppendLine(text, columns, index, cursor);
        if (text.size() >= kBlock) {
            written = out.Write(text.data(), static_cast<qint64>(text.size()));
            text.clear();
        }
        if (index % 10000 == 0) {
            mainWindow.SetProgress(static_cast<int>(100.0 * index / last));
            mainWindow.ProcessEvents();
        }
    }
    if (written && !text.empty())
        written = out.Write(text.data(), static_cast<qint64>(text.size()));
    if (!written || !out.Commit()) {
        mainWindow.AddMessage(MessageError, QObject::tr("Failed to write records to file %1").arg(name));
        return;
    }
    mainWindow.SetProgress(100);
    mainWindow.AddMessage(MessageNormal, QObject::tr("Records written to file %1").arg(name));
}

} // namespace

void pqFile::WriteRecords()
{
    WithAnyRecordFormat(recordFormat, [this](auto format) { WriteRecordTable<decltype(format)>(*this); });
}

bool pqFile::ExportFolderExists()
{
    const QByteArray path = QFile::encodeName(exportFolder);
    // Made beside the measurement, whose folder exists.
    if (!QDir(exportFolder).exists() && ::mkdir(path.constData(), 0777) != 0 && errno != EEXIST) {
        const int error = errno;
        mainWindow.AddMessage(MessageError, QObject::tr("Export Folder %1 cannot be created: %2")
                                                .arg(exportFolder, QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    if (!QFileInfo(exportFolder).isDir()) {
        mainWindow.AddMessage(MessageError, QObject::tr("Export Folder %1 cannot be created: %2")
                                                .arg(exportFolder, QString::fromLocal8Bit(std::strerror(EEXIST))));
        return false;
    }
    if (::access(path.constData(), W_OK | X_OK) != 0) {
        const int error = errno;
        mainWindow.AddMessage(MessageError, QObject::tr("Export Folder %1 cannot be written: %2")
                                                .arg(exportFolder, QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    return true;
}

bool pqFile::SaveHeaderText(const QString &text)
{
    const QString name = QStringLiteral("%1.hdr").arg(exportBase);
    AtomicFile out(name);
    if (out.Open() && out.Write(text.toLatin1()) && out.Commit())
        return true;
    mainWindow.AddMessage(MessageError, QObject::tr("Failed to write header file %1: %2").arg(name, out.Reason()));
    return false;
}

bool pqFile::Open(const QString &name)
{
    ok = true;
    fileName = name;
    // Cut at the last "." of the whole path, as the export names have always been made.
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot >= 0 ? name.left(dot) : name;
    exportFolder = QStringLiteral("%1_export").arg(stem);
    exportBase = QStringLiteral("%1/%2").arg(exportFolder, QFileInfo(stem).fileName());
    scanned = false;
    recordsRead = false;
    records.Clear();

    // The measurement is opened before its export folder is made: a name that
    // is no readable regular file leaves nothing behind.
    QFile stream;
    if (!OpenMeasurement(name, stream)) {
        ok = false;
        return false;
    }
    const bool folderExisted = QDir(exportFolder).exists();
    ok = ExportFolderExists();

    if (!ReadHeader(stream)) {
        ok = false;
    } else {
        ReadRecords(stream);
        if (!recordsRead) {
            ok = false;
        } else {
            WriteHeaderFile();
            if (!ScanRecords()) {
                // Refused after the scan (a T2 file with imaging markers): nothing to analyse.
                ok = false;
                records.Clear();
                recordsRead = false;
            }
        }
    }
    stream.close();
    // A folder this open made for a file it refused holds nothing: remove it
    // (rmdir leaves a folder that is not empty alone).
    if (!recordsRead && !folderExisted)
        QDir().rmdir(exportFolder);
    return ok;
}

bool pqFile::OpenMeasurement(const QString &name, QFile &stream)
{
    const QFileInfo info(name);
    auto refuse = [&](const QString &why) {
        mainWindow.AddMessage(MessageError, why);
        return false;
    };
    if (info.isSymLink() && !info.exists())
        return refuse(QObject::tr("%1 is a link to %2, which does not exist").arg(name, info.symLinkTarget()));
    if (!info.exists())
        return refuse(QObject::tr("File %1 does not exist").arg(name));
    if (info.isDir())
        return refuse(QObject::tr("%1 is a folder, not a measurement file").arg(name));
    // Opened without blocking: a pipe or device under a measurement's name
    // would otherwise wait for a writer for ever. Only a regular file is read,
    // and never written: the descriptor is read-only.
    const QByteArray nativePath = QFile::encodeName(name);
    const int fd = ::open(nativePath.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return refuse(QObject::tr("Cannot open %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno))));
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return refuse(QObject::tr("%1 is not a regular file (a pipe, socket or device)").arg(name));
    }
    // Back to blocking reads for the header.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    if (!stream.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return refuse(QObject::tr("Cannot open %1: %2").arg(name, stream.errorString()));
    }
    return true;
}

void pqFile::ReadRecords(QFile &stream)
{
    mainWindow.AddMessage(MessageNormal, QObject::tr("Read records from file"));
    recordsRead = false;
    records.Clear();
    const int64_t expected = HeaderRecordCount();
    if (expected < 1)
        return;

    // The stream may stand on a descriptor without a name: the records come from the file's name.
    const QString name = stream.fileName().isEmpty() ? fileName : stream.fileName();
    const int64_t found = records.Load(name, stream.pos(), static_cast<uint64_t>(expected));
    if (found < 0) {
        mainWindow.AddMessage(MessageError, QObject::tr("Could not read the records of %1").arg(name));
        return;
    }
    if (found == 0) {
        // The header announced records, but the file ends before the first is whole.
        mainWindow.AddMessage(MessageError, QObject::tr("The file ends before its first record: the header announces %1 "
                                                        "records, none is complete")
                                                .arg(expected));
        return;
    }
    if (found < expected)
        mainWindow.AddMessage(MessageWarning, QObject::tr("Expected %1 records, found %2").arg(expected).arg(found));
    // Record indices are 32-bit throughout the analyses.
    if (found > INT_MAX) {
        records.Clear();
        mainWindow.AddMessage(MessageError, QObject::tr("This file has %1 records, more than the %2 this program can hold")
                                                .arg(found)
                                                .arg(INT_MAX));
        return;
    }
    recordsRead = true;
}

namespace {

/// What the record scan counts over a span of records.
template <class Format>
struct RecordTally {
    // Records counted by their scan key (the fields that tell photons of each
    // channel and special records apart) in four interleaved counter sets, so
    // neighbouring records with the same key do not wait on each other's
    // increment.
    uint32_t byKey[4][Format::kScanKeys] = {};
    std::array<uint32_t, 16> markers{};
    uint64_t overflows = 0;  ///< sync periods of the overflows so far
    uint32_t syncRecords = 0;
    uint32_t unknownSpecial = 0;
    bool stop = false;       ///< set by an ordered-marker handler: the span ends after this group of records

    /// A T2 file is a point measurement (imaging markers refuse it), so where
    /// the key tells a special record's kind its records need no handling in
    /// order: they are counted by key with the photons, and tallied at the end.
    static constexpr bool kSpecialsByKey = Format::kTimeTags && Format::kMarkerInScanKey;

    /// Records of scan key \p k over the four counter sets.
    uint32_t Count(uint32_t k) const { return byKey[0][k] + byKey[1][k] + byKey[2][k] + byKey[3][k]; }

    void Add(const RecordTally &other)
    {
        for (uint32_t k = 0; k < Format::kScanKeys; ++k)
            for (int set = 0; set < 4; ++set)
                byKey[set][k] += other.byKey[set][k];
        for (std::size_t m = 0; m < markers.size(); ++m)
            markers[m] += other.markers[m];
        overflows += other.overflows;
        syncRecords += other.syncRecords;
        unknownSpecial += other.unknownSpecial;
    }
};

/*!
 * Counts the records [begin, end) into \p t. Special records are rare and are
 * met in order: overflows, syncs and unknown kinds are counted here, and each
 * line start, line end or frame marker goes to \p ordered(index, marker,
 * overflows before it) once it is counted. Returns where counting stopped:
 * \p end, or earlier when \p ordered set t.stop.
 */
template <class Format, class Ordered>
std::size_t CountSpan(const uint32_t *words, std::size_t begin, std::size_t end, RecordTally<Format> &t,
                      const MarkerMeanings &meaning, Ordered &&ordered)
{
    const uint32_t lineStart = meaning.lineStart, lineEnd = meaning.lineEnd, frame = meaning.frame;
    // Out of line, so the counting loop keeps its registers for the photons.
    auto special = [&](std::size_t index, uint32_t w) __attribute__((noinline)) {
        const uint32_t m = Format::SpecialMarker(w);
        if (Format::kTimeTags && m == SYNC_MARKER) {
            ++t.syncRecords;
            return;
        }
        if (m >= t.markers.size()) {
            ++t.unknownSpecial;
            return;
        }
        t.markers[m] += 1;
        if (m == 0)
            t.overflows += Format::OverflowSyncs(w);
        else if (m == frame || m == lineEnd || m == lineStart)
            ordered(index, m, t.overflows);
    };

    constexpr bool kSpecialsByKey = RecordTally<Format>::kSpecialsByKey;
    std::size_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const uint32_t w0 = words[i], w1 = words[i + 1], w2 = words[i + 2], w3 = words[i + 3];
        const uint32_t k0 = Format::ScanKey(w0), k1 = Format::ScanKey(w1);
        const uint32_t k2 = Format::ScanKey(w2), k3 = Format::ScanKey(w3);
        t.byKey[0][k0] += 1;
        t.byKey[1][k1] += 1;
        t.byKey[2][k2] += 1;
        t.byKey[3][k3] += 1;
        // One test for all four records.
        if (!kSpecialsByKey && Format::AnySpecial(k0, k1, k2, k3)) {
            if constexpr (Format::kTimeTags) {
                // PicoHarp T2: only marker bits to count (0 an overflow), no
                // lines or frames to follow; no branch per record.
                t.markers[Format::SpecialMarker(w0) & 15u] += Format::IsSpecialKey(k0);
                t.markers[Format::SpecialMarker(w1) & 15u] += Format::IsSpecialKey(k1);
                t.markers[Format::SpecialMarker(w2) & 15u] += Format::IsSpecialKey(k2);
                t.markers[Format::SpecialMarker(w3) & 15u] += Format::IsSpecialKey(k3);
                continue;
            }
            if (Format::IsSpecialKey(k0))
                special(i, w0);
            if (Format::IsSpecialKey(k1))
                special(i + 1, w1);
            if (Format::IsSpecialKey(k2))
                special(i + 2, w2);
            if (Format::IsSpecialKey(k3))
                special(i + 3, w3);
            if (t.stop)
                return i + 4;
        }
    }
    for (; i < end; ++i) {
        const uint32_t k = Format::ScanKey(words[i]);
        t.byKey[0][k] += 1;
        if (!kSpecialsByKey && Format::IsSpecialKey(k)) {
            special(i, words[i]);
            if (t.stop)
                return i + 1;
        }
    }
    return end;
}

/// A line or frame marker met by the second thread of the record scan, kept
/// to be handled in file order once the first half is done.
struct DeferredMarker {
    uint32_t index;
    uint32_t marker;
    uint64_t overflows;  ///< of the second half, before this record
};

/// Notes in \p split where the second half of a record scan starts (\p mid),
/// from the tally \p t of the records before it.
template <class Format>
void NoteSplit(pqFile::RecordSplit &split, const RecordTally<Format> &t, std::size_t mid, uint32_t channels)
{
    split.index = static_cast<uint32_t>(mid);
    split.overflowOffset = t.overflows;
    split.photonsBefore.assign(channels, 0);
    for (uint32_t k = 0; k < Format::kScanKeys; ++k) {
        const uint32_t c = Format::PhotonChannel(k);
        if (!Format::IsSpecialKey(k) && c >= 1 && c <= channels)
            split.photonsBefore[c - 1] += t.Count(k);
    }
}

} // namespace

std::size_t pqFile::parallelScanRecords = std::size_t(1) << 20;
std::size_t pqFile::deferredMarkersKept = std::size_t(1) << 20;

template <class Format>
void pqFile::CountRecords(FrameList::Runs &runs, uint32_t channels, uint32_t &unknownSpecial)
{
    const uint32_t *words = records.data();
    const std::size_t n = records.size();

    const MarkerMeanings meaning = markerMeaning;
    const double progressScale = n > 1 ? 100.0 / static_cast<double>(n - 1) : 0.0;
    frameMarkers.clear();
    recordSplit = RecordSplit();
    // Line and frame markers in file order: frame markers close the line
    // count of a frame, feed the frame list's count of the runs of lines at
    // both ends of the file and drive the progress bar.
    auto inOrder = [&](std::size_t index, uint32_t m, uint64_t overflows) {
        if (m == meaning.frame) {
            if (!Format::kTimeTags && meaning.frame != meaning.lineStart && meaning.frame != meaning.lineEnd &&
                frameMarkers.size() < kFrameMarkersKept)
                frameMarkers.push_back({static_cast<uint32_t>(index), overflows});
            runs.FrameMarker(static_cast<uint32_t>(index));
            // A file of one record that is a frame marker is complete at once.
            mainWindow.SetProgress(n > 1 ? static_cast<int>(progressScale * static_cast<double>(index)) : 100);
            mainWindow.ProcessEvents();
        } else if (m == meaning.lineEnd) {
            runs.LineEnd(static_cast<uint32_t>(index));
        } else if (m == meaning.lineStart) {
            runs.LineStart(static_cast<uint32_t>(index));
        }
    };

    auto tally = std::make_unique<RecordTally<Format>>();
    RecordTally<Format> &t = *tally;

    // A large file is counted in two halves at once: counts add up, and the
    // second half's line and frame markers (with the overflows before them)
    // are kept and handled in order after the first half's, on this thread,
    // so the runs, the frame markers and the progress come out as from one
    // pass. Should the second half hold more markers than are kept, this
    // thread counts on from where the second stopped.
    std::size_t resumeAt = 0;
    if (n >= parallelScanRecords && n >= 8) {
        const std::size_t mid = n / 2;
        auto second = std::make_unique<RecordTally<Format>>();
        std::vector<DeferredMarker> deferred;
        std::size_t secondEnd = mid;
        std::size_t kept = deferredMarkersKept;
        // The first half in this thread (it handles its markers as it meets
        // them), the second in another; both here, one after the other, when
        // no thread can be had.
        RunInTwoThreads(2, true, [&](std::size_t half) {
            if (half == 0) {
                CountSpan<Format>(words, 0, mid, t, meaning, inOrder);
                // The split, for a photon pass in two threads. A T2 scan counts
                // its special records by kind and does not sum the overflows.
                if (!Format::kTimeTags)
                    NoteSplit(recordSplit, t, mid, channels);
                return;
            }
            RecordTally<Format> &s = *second;
            secondEnd = CountSpan<Format>(words, mid, n, s, meaning, [&](std::size_t index, uint32_t m, uint64_t overflows) {
                // Every marker counted is kept; the span ends with the
                // group of records in which the list fills up.
                try {
                    deferred.push_back({static_cast<uint32_t>(index), m, overflows});
                } catch (const std::bad_alloc &) {
                    kept = 0;
                }
                s.stop = deferred.size() >= kept;
            });
        });
        for (const DeferredMarker &d : deferred)
            inOrder(d.index, d.marker, t.overflows + d.overflows);
        resumeAt = secondEnd;
        t.Add(*second);
    }
    CountSpan<Format>(words, resumeAt, n, t, meaning, inOrder);
    syncRecords += t.syncRecords;
    unknownSpecial += t.unknownSpecial;
    std::array<uint32_t, 16> &markers = t.markers;

    if constexpr (RecordTally<Format>::kSpecialsByKey) {
        for (uint32_t k = 0; k < Format::kScanKeys; ++k) {
            const uint32_t count = t.Count(k);
            if (!Format::IsSpecialKey(k) || count == 0)
                continue;
            const uint32_t m = Format::SpecialMarker(Format::KeyWord(k));
            if (m == SYNC_MARKER)
                syncRecords += count;
            else if (m >= markers.size())
                unknownSpecial += count;
            else
                markers[m] += count;
        }
    }

    uint32_t photons = 0;
    uint32_t inRange = 0;
    for (uint32_t k = 0; k < Format::kScanKeys; ++k) {
        if (Format::IsSpecialKey(k))
            continue;
        const uint32_t count = t.Count(k);
        photons += count;
        const uint32_t c = Format::PhotonChannel(k);
        if (c >= 1 && c <= channels) {
            photonsPerChannel[c - 1] = count;
            inRange += count;
        }
    }
    for (uint32_t m = 0; m < 16; ++m)
        eventsPerMarker[m] = markers[m];
    eventsPerMarker[PHOTON_MARKER] = photons;
    if (photons != inRange)
        mainWindow.AddMessage(MessageWarning, QObject::tr("%1 photons on channels outside 1..%2 ignored")
                                                  .arg(photons - inRange)
                                                  .arg(channels));
}

namespace {

/// Calls \p fn with the time (resolution steps since the start) of every sync
/// record of a T2 file of layout \p Format, in file order.
template <class Format, class Fn>
void ForEachSync(const uint32_t *words, std::size_t n, Fn &&fn)
{
    uint64_t overflow = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const uint32_t w = words[i];
        if (!Format::IsSpecialKey(Format::ScanKey(w)))
            continue;
        const uint32_t m = Format::SpecialMarker(w);
        if (m == 0)
            overflow += Format::OverflowSyncs(w);
        else if (m == SYNC_MARKER)
            fn(Format::NSync(w) + overflow);
    }
}

/// Longest sync period, in resolution steps, that a T2 file's delays may span:
/// its per-channel delay histograms and gate tables hold one entry per step.
constexpr uint64_t kMaxSyncTicks = uint64_t(1) << 22;

} // namespace

template <class Format>
void pqFile::MeasureSyncPeriod()
{
    // The sync period is the longest interval between consecutive syncs that
    // is at most 1.5 times the shortest: a laser's jitter of a step or two is
    // inside it, a sync the detector missed (a gap of two periods or more) is
    // not. Photons before the first sync, and those a period or more after
    // their sync (in such a gap, or after the last sync), have no delay.
    const uint32_t *words = records.data();
    const std::size_t n = records.size();
    uint64_t shortest = UINT64_MAX, previous = 0;
    bool seen = false;
    ForEachSync<Format>(words, n, [&](uint64_t t) {
        if (seen && t > previous)
            shortest = std::min(shortest, t - previous);
        seen = true;
        previous = t;
    });
    if (shortest == UINT64_MAX)
        return;
    const double longest = 1.5 * static_cast<double>(shortest);
    uint64_t period = 0, gaps = 0;
    seen = false;
    ForEachSync<Format>(words, n, [&](uint64_t t) {
        if (seen && t > previous) {
            const uint64_t d = t - previous;
            if (static_cast<double>(d) <= longest)
                period = std::max(period, d);
            else
                ++gaps;
        }
        seen = true;
        previous = t;
    });
    if (period == 0)
        return;
    if (period > kMaxSyncTicks) {
        mainWindow.AddMessage(MessageWarning, QObject::tr("The sync period of this T2 file (%1 ns) spans more than %2 "
                                                          "resolution steps: its delays are not computed")
                                                  .arg(static_cast<double>(period) * Resolution())
                                                  .arg(kMaxSyncTicks));
        return;
    }
    syncTicks = static_cast<uint32_t>(period);
    mainWindow.AddMessage(MessageNormal, QObject::tr("Delays from %1 sync records: sync period %2 ns (%3 resolution steps)")
                                             .arg(syncRecords)
                                             .arg(static_cast<double>(period) * Resolution())
                                             .arg(period));
    if (gaps != 0)
        mainWindow.AddMessage(MessageWarning,
                              QObject::tr("%1 intervals between syncs are longer than 1.5 sync periods (syncs not "
                                          "recorded): photons a period or more after their sync have no delay")
                                  .arg(gaps));
}

int pqFile::ImageDimensions() const { return 0; }

bool pqFile::ScanRecords()
{
    if (scanned)
        return true;

    const int channels = std::max(0, std::min(NumberOfChannels(), 14));
    photonsPerChannel.assign(static_cast<std::size_t>(channels), 0);
    eventsPerMarker.assign(17, 0);
    numberOfFrames = 0;
    areaImage = false;
    linesPerFrame = 0;
    frames = FrameList();
    mainWindow.SetProgress(0);

    FrameList::Runs runs;
    uint32_t unknownSpecial = 0;
    syncRecords = 0;
    syncTicks = 0;
    WithAnyRecordFormat(recordFormat, [&](auto format) {
        CountRecords<decltype(format)>(runs, static_cast<uint32_t>(channels), unknownSpecial);
    });
    if (unknownSpecial != 0)
        mainWindow.AddMessage(MessageWarning,
                              QObject::tr("%1 special records of an unknown kind ignored").arg(unknownSpecial));

    if (IsTimeTagFormat(recordFormat)) {
        // A T2 file is a point measurement: its markers would need the
        // pixel clock of a T3 image, which its records do not carry.
        for (uint32_t m : {markerMeaning.frame, markerMeaning.lineStart, markerMeaning.lineEnd}) {
            if (m >= 1 && m <= 15 && eventsPerMarker[m] != 0) {
                mainWindow.AddMessage(MessageError,
                                      QObject::tr("This T2 file holds frame or line markers (%1 of marker %2): only T2 "
                                                  "point measurements can be read, images need T3 records.")
                                          .arg(eventsPerMarker[m])
                                          .arg(m));
                mainWindow.SetProgress(100);
                return false;
            }
        }
        if (syncRecords >= 2)
            WithAnyRecordFormat(recordFormat, [&](auto format) { MeasureSyncPeriod<decltype(format)>(); });
    }

    // An area image that carries no frame marker is one frame when it holds
    // exactly its header's number of whole lines.
    const uint32_t areaLines = ImageDimensions() == 3 && ImageHeight() > 0 ? static_cast<uint32_t>(ImageHeight()) : 0;
    frames = FrameList::Decide(runs, static_cast<uint32_t>(records.size()), areaLines);
    numberOfFrames = frames.count;
    linesPerFrame = frames.lines;
    if (frames.unmarked)
        mainWindow.AddMessage(MessageNormal,
                              QObject::tr("Area image without frame markers: its %1 whole lines (ImgHdr_PixY) are one frame")
                                  .arg(frames.lines));
    if (frames.leading && !frames.unmarked)
        mainWindow.AddMessage(MessageNormal,
                              QObject::tr("Frame before the first frame marker kept: %1 whole lines").arg(frames.lines));
    if (frames.trailing && !frames.unmarked)
        mainWindow.AddMessage(MessageNormal,
                              QObject::tr("Frame after the last frame marker kept: %1 whole lines").arg(frames.lines));
    // The frame count decides, except that a file whose imaging tags call it
    // an area image and whose frames hold exactly that image's lines is an
    // image even with one frame (a single-frame line scan has no such tags).
    areaImage = areaLines != 0 && numberOfFrames > 0 && linesPerFrame == areaLines;
    if (numberOfFrames == 0)
        ScanType = ScanPoint;
    else if (numberOfFrames == 1 && !areaImage)
        ScanType = ScanLine;
    else
        ScanType = ScanImage;
    if (numberOfFrames == 1 && areaImage)
        mainWindow.AddMessage(MessageNormal, QObject::tr("One frame of an area image (ImgHdr_Dimensions 3) with its "
                                                         "%1 lines (ImgHdr_PixY): an image scan")
                                                 .arg(linesPerFrame));

    QString summary;
    if (IsTimeTagFormat(recordFormat))
        summary += TimeTagSummary();
    summary += LabelValueLine(QObject::tr("Number of Records"), QString::number(HeaderRecordCount()));
    summary += LabelValueLine(QObject::tr("Overflow"), QString::number(eventsPerMarker[0]));
    if (IsTimeTagFormat(recordFormat))
        summary += LabelValueLine(QObject::tr("Sync"), QString::number(syncRecords));
    for (uint32_t m = 1; m <= PHOTON_MARKER; ++m) {
        if (eventsPerMarker[m] == 0)
            continue;
        QString label;
        if (m == PHOTON_MARKER) {
            label = QObject::tr("Photon");
        } else if (m == markerMeaning.lineStart) {
            label = QObject::tr("Marker %1 (Start of Line)").arg(m);
        } else if (m == markerMeaning.lineEnd) {
            label = QObject::tr("Marker %1 (End of Line)").arg(m);
        } else if (m == markerMeaning.frame) {
            label = QObject::tr("Marker %1 (Frame Marker)").arg(m);
        } else {
            label = QObject::tr("Marker %1").arg(m);
            mainWindow.AddMessage(MessageWarning, QObject::tr("Unknown Markers in File"));
        }
        summary += LabelValueLine(label, QString::number(eventsPerMarker[m]));
    }
    summary += QLatin1Char('\n');
    for (int c = 0; c < 4; ++c) {
        const uint32_t count = c < channels ? photonsPerChannel[static_cast<std::size_t>(c)] : 0;
        summary += LabelValueLine(QObject::tr("Channel %1").arg(c + 1), QString::number(count));
    }
    summary += QLatin1Char('\n');
    switch (ScanType) {
    case ScanImage: summary += QObject::tr("Image Scan File\n"); break;
    case ScanLine: summary += QObject::tr("Line Scan File\n"); break;
    case ScanPoint: summary += QObject::tr("Point FCS File\n"); break;
    default: summary += QObject::tr("Unknown Scan Type File\n"); break;
    }

    mainWindow.AddSummaryText(summary);
    scanned = true;
    mainWindow.SetProgress(100);
    return true;
}

QString pqFile::TimeTagSummary() const
{
    const char *type = "PicoHarp T2";
    if (recordFormat == RecordFormat::HydraHarpT2v1)
        type = "HydraHarp T2 (v1)";
    else if (recordFormat == RecordFormat::HydraHarpT2v2)
        type = "HydraHarp, TimeHarp 260 or MultiHarp T2";
    QString text;
    text += LabelValueLine(QObject::tr("Mode"), QStringLiteral("T2"));
    text += LabelValueLine(QObject::tr("Record Type"), QString::fromLatin1(type));
    text += LabelValueLine(QObject::tr("Resolution (ns)"), QString::number(Resolution(), 'g', 6));
    return text;
}
