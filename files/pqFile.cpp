#include "files/pqFile.h"

#include "app/FotonelServices.h"
#include "files/RecordTable.h"
#include "files/T3RecordCursor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSaveFile>

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

namespace {

QString SummaryLine(const QString &label, const QString &value)
{
    return label.rightJustified(25, QLatin1Char(' ')) + QStringLiteral(" : ") + value + QLatin1Char('\n');
}

} // namespace

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

void pqFile::WriteRecords()
{
    mainWindow.AddMessage(MessageNormal, QObject::tr("Writing records to ascii file"));
    T3RecordCursor cursor(mainWindow, *this);
    const QString name = QStringLiteral("%1.dat").arg(exportBase);
    mainWindow.SetProgress(0);
    if (!ExportFolderExists())
        return;
    // Written under a temporary name: a dump that fails half-way leaves no table behind.
    QSaveFile out(name);
    if (NumberOfRecords() < 1 || cursor.recordCount < 1 || !out.open(QIODevice::WriteOnly | QIODevice::Text)) {
        mainWindow.AddMessage(MessageError, QObject::tr("Failed to write records to file %1").arg(name));
        return;
    }

    // The check boxes can change only while events run, so reading them
    // after each event round is reading them for every line.
    RecordTable::Columns columns = RecordTable::ReadColumns(mainWindow);
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
            written = out.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size());
            text.clear();
        }
        if (index % 10000 == 0) {
            mainWindow.SetProgress(static_cast<int>(100.0 * index / last));
            mainWindow.ProcessEvents();
            columns = RecordTable::ReadColumns(mainWindow);
        }
    }
    if (written && !text.empty())
        written = out.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size());
    // Flushed first: closing does not report a write that the disk refused.
    if (!written || !out.flush() || !out.commit()) {
        out.cancelWriting();
        mainWindow.AddMessage(MessageError, QObject::tr("Failed to write records to file %1").arg(name));
        return;
    }
    mainWindow.SetProgress(100);
    mainWindow.AddMessage(MessageNormal, QObject::tr("Records written to file %1").arg(name));
}

bool pqFile::ExportFolderExists()
{
    if (QDir(exportFolder).exists())
        return true;
    if (QDir().mkpath(exportFolder))
        return true;
    mainWindow.AddMessage(MessageError, QObject::tr("Export Folder %1 does not exist").arg(exportFolder));
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
            ScanRecords();
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

bool pqFile::ScanRecords()
{
    if (scanned)
        return true;

    const int channels = std::max(0, std::min(NumberOfChannels(), 14));
    photonsPerChannel.assign(static_cast<std::size_t>(channels), 0);
    eventsPerMarker.assign(17, 0);
    numberOfFrames = 0;
    linesInFrame = 0;
    linesPerFrame = 0;
    frames = FrameList();
    mainWindow.SetProgress(0);

    const uint32_t *words = records.data();
    const std::size_t n = records.size();

    // Records counted by their 4-bit channel field in four interleaved
    // counter sets, so neighbouring records with the same channel do not wait
    // on each other's increment. Special records (channel 15) are rare and
    // are handled in order, because frame markers close the line count of a
    // frame and drive the progress bar.
    uint32_t byChannel[4][16] = {};
    std::array<uint32_t, 16> markers{};
    const double progressScale = n > 1 ? 100.0 / static_cast<double>(n - 1) : 0.0;
    // The markers also feed the frame list's count of the runs of lines at
    // both ends of the file.
    FrameList::Runs runs;
    // Out of line, so the counting loop keeps its registers for the photons.
    auto special = [&](std::size_t index, uint32_t w) __attribute__((noinline)) {
        const uint32_t m = T3Word::MarkerBits(w);
        markers[m] += 1;
        if (m == 4) {
            runs.FrameMarker(static_cast<uint32_t>(index));
            // A file of one record that is a frame marker is complete at once.
            mainWindow.SetProgress(n > 1 ? static_cast<int>(progressScale * static_cast<double>(index)) : 100);
            mainWindow.ProcessEvents();
        } else if (m == 2) {
            runs.LineEnd(static_cast<uint32_t>(index));
        } else if (m == 1) {
            runs.LineStart(static_cast<uint32_t>(index));
        }
    };

    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const uint32_t w0 = words[i], w1 = words[i + 1], w2 = words[i + 2], w3 = words[i + 3];
        const uint32_t c0 = T3Word::Channel(w0), c1 = T3Word::Channel(w1);
        const uint32_t c2 = T3Word::Channel(w2), c3 = T3Word::Channel(w3);
        byChannel[0][c0] += 1;
        byChannel[1][c1] += 1;
        byChannel[2][c2] += 1;
        byChannel[3][c3] += 1;
        // c + 1 has bit 4 set only for c = 15: one test for all four records.
        if (((c0 + 1) | (c1 + 1) | (c2 + 1) | (c3 + 1)) & 16u) {
            if (c0 == SPECIAL_CHANNEL)
                special(i, w0);
            if (c1 == SPECIAL_CHANNEL)
                special(i + 1, w1);
            if (c2 == SPECIAL_CHANNEL)
                special(i + 2, w2);
            if (c3 == SPECIAL_CHANNEL)
                special(i + 3, w3);
        }
    }
    for (; i < n; ++i) {
        const uint32_t c = T3Word::Channel(words[i]);
        byChannel[0][c] += 1;
        if (c == SPECIAL_CHANNEL)
            special(i, words[i]);
    }

    uint32_t photons = 0;
    uint32_t inRange = 0;
    for (uint32_t c = 0; c < SPECIAL_CHANNEL; ++c) {
        const uint32_t count = byChannel[0][c] + byChannel[1][c] + byChannel[2][c] + byChannel[3][c];
        photons += count;
        if (c >= 1 && c <= static_cast<uint32_t>(channels)) {
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

    linesPerFrame = runs.linesPerFrame;
    linesInFrame = runs.ends;
    frames = FrameList::Decide(runs, static_cast<uint32_t>(n));
    numberOfFrames = frames.count;
    if (frames.leading)
        mainWindow.AddMessage(MessageNormal,
                              QObject::tr("Frame before the first frame marker kept: %1 whole lines").arg(frames.lines));
    if (frames.trailing)
        mainWindow.AddMessage(MessageNormal,
                              QObject::tr("Frame after the last frame marker kept: %1 whole lines").arg(frames.lines));
    if (numberOfFrames == 0)
        ScanType = ScanPoint;
    else if (numberOfFrames == 1)
        ScanType = ScanLine;
    else
        ScanType = ScanImage;

    QString summary;
    summary += SummaryLine(QObject::tr("Number of Records"), QString::number(HeaderRecordCount()));
    summary += SummaryLine(QObject::tr("Overflow"), QString::number(eventsPerMarker[0]));
    for (uint32_t m = 1; m <= PHOTON_MARKER; ++m) {
        if (eventsPerMarker[m] == 0)
            continue;
        QString label;
        switch (m) {
        case 1: label = QObject::tr("Marker 1 (Start of Line)"); break;
        case 2: label = QObject::tr("Marker 2 (End of Line)"); break;
        case 4: label = QObject::tr("Marker 4 (Frame Marker)"); break;
        case PHOTON_MARKER: label = QObject::tr("Photon"); break;
        default:
            label = QObject::tr("Marker %1").arg(m);
            mainWindow.AddMessage(MessageWarning, QObject::tr("Unknown Markers in File"));
            break;
        }
        summary += SummaryLine(label, QString::number(eventsPerMarker[m]));
    }
    summary += QLatin1Char('\n');
    for (int c = 0; c < 4; ++c) {
        const uint32_t count = c < channels ? photonsPerChannel[static_cast<std::size_t>(c)] : 0;
        summary += SummaryLine(QObject::tr("Channel %1").arg(c + 1), QString::number(count));
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
