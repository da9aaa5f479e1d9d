// What an image scan writes beyond the count exports: the descriptions of its
// TIFF pages and the lifetime-resolved stacks.
#include "scans/ImageScan.h"

#include "scans/TiffWriter.h"

#include "files/AtomicFile.h"
#include "scans/LargeArray.h"

#include <QObject>
#include <QStorageInfo>
#include <QSysInfo>
#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>

namespace {
// A lifetime stack keeps the images of its whole sync period unless they
// outnumber the images its delays can reach by more than this factor.
constexpr double kPeriodBinsPerReachBin = 8;
// Header, directory and the description's fixed lines: an allowance per file
// for the free-space check.
constexpr double kHeaderAllowance = 4096;
// Places per page of the one-pass fill of the lifetime stack.
constexpr std::size_t kStackPage = 1024;
} // namespace

QString ImageScan::PageDescription(uint32_t frame) const
{
    const double W = imageWidth;
    const double frameTime = frame < frameMarkerTimes.size() ? frameMarkerTimes[frame] : 0.0;
    return QStringLiteral("lineSamplingPeriod = %1\npixelTime = %2\nframeTime = %3\n")
        .arg(QString::number(1000 * lineSamplingPeriod, 'g', 6))
        .arg(QString::number(W > 0 ? lineTime / W / 1000 : 0.0, 'g', 6))
        .arg(QString::number(1000 * frameTime, 'g', 6));
}

std::vector<uint32_t> ImageScan::HistogramChunkBounds(uint32_t images, uint32_t width, uint32_t height,
                                                      uint32_t channels, uint32_t &chunks, double chunkBytes)
{
    const double total = static_cast<double>(images) * width * height * channels * 2;
    chunks = std::max<uint32_t>(1, static_cast<uint32_t>(std::ceil(total / chunkBytes)));
    const uint32_t step = std::max<uint32_t>(1, (images + chunks - 1) / chunks);
    // With C close to N the steps i x s can pass N early: every boundary stays
    // within N and the empty chunks at the end are dropped.
    std::vector<uint32_t> bounds{0};
    for (uint32_t i = 1; i < chunks && bounds.back() < images; ++i)
        bounds.push_back(static_cast<uint32_t>(std::min<uint64_t>(uint64_t{i} * step, images)));
    if (bounds.back() < images)
        bounds.push_back(images);
    return bounds;
}

double ImageScan::HistogramStackBins(double w)
{
    // The stack spans the sync period, as the lifetime histograms do. Its
    // images past the last dtime value of the record layout stay empty; at
    // ordinary rates that is a short tail (a PicoHarp's 4096 values of 4 ps
    // reach 16.4 ns of a 25 to 100 ns period). A sync period far beyond that
    // reach comes from a damaged sync rate (microseconds against picoseconds)
    // and would ask for millions of empty images: then the stack ends at the
    // bin of the last dtime value (found as FillHistogramChunk finds every bin).
    const double periodBins = std::ceil(file->SyncPeriod() / w);
    const double reach = delayBins * file->Resolution();
    const double reachBins = (delayBins - 1) / DelaySteps(w) + 1;
    const double bins = periodBins > kPeriodBinsPerReachBin * reachBins ? reachBins : periodBins;
    if (bins < periodBins)
        mainWindow->AddMessage(MessageWarning, QObject::tr("The delays of this file reach %1 ns: %2 delay bins, not the %3 "
                                                           "of its sync period of %4 ns")
                                                   .arg(reach)
                                                   .arg(bins, 0, 'f', 0)
                                                   .arg(periodBins, 0, 'f', 0)
                                                   .arg(file->SyncPeriod()));
    return bins;
}

bool ImageScan::StackFitsOnDisk(uint32_t N, double imageBytes)
{
    // Refuse before writing anything what the disk cannot take.
    const double needed = (static_cast<double>(N) * imageBytes + kHeaderAllowance) * activeChannelCount;
    const QStorageInfo disk(file->exportFolder);
    const double available = static_cast<double>(disk.bytesAvailable());
    if (disk.isValid() && needed > available) {
        mainWindow->AddMessage(MessageError,
                               QObject::tr("Lifetime-resolved stacks of %1 bytes do not fit in the %2 bytes free in %3")
                                   .arg(needed, 0, 'f', 0)
                                   .arg(available, 0, 'f', 0)
                                   .arg(file->exportFolder));
        return false;
    }
    return true;
}

void ImageScan::WriteHistogramStack()
{
    if (Refuses("WriteHistogramStack") || !EnsureReconstructed() || RefusesExport() || !file->ExportFolderExists())
        return;
    mainWindow->AddMessage(MessageNormal, QObject::tr("Saving Histogram..."));
    if (!CheckBinWidth(mainWindow->GetIStaubinsize()))
        return;
    const double w = LifetimeBin(mainWindow->GetIStaubinsize());
    const uint32_t W = imageWidth, H = imageHeight;
    const double bins = HistogramStackBins(w);
    const double imageBytes = 2.0 * W * H;
    // The directory holds the rows per image as a SHORT and the bytes per image as a LONG.
    if (W == 0 || H == 0 || H > std::numeric_limits<uint16_t>::max() || imageBytes > 4294967295.0 ||
        !(bins >= 1 && bins <= std::numeric_limits<uint32_t>::max())) {
        mainWindow->AddMessage(MessageError, QObject::tr("Cannot save a lifetime-resolved stack of %1 images of %2 x %3 pixels")
                                                 .arg(bins).arg(W).arg(H));
        return;
    }
    const uint32_t N = static_cast<uint32_t>(bins);

    if (!StackFitsOnDisk(N, imageBytes))
        return;

    uint32_t chunks = 0;
    const std::vector<uint32_t> bounds = HistogramChunkBounds(N, W, H, activeChannelCount, chunks, stackChunkBytes);
    mainWindow->AddMessage(MessageNormal, QObject::tr("Number of chunks %1").arg(chunks));
    const uint32_t step = bounds.size() > 1 ? bounds[1] - bounds[0] : 0;

    // Each file is built under its temporary name and renamed when its last chunk is in.
    const QString extra = QStringLiteral("dtau=%1\n").arg(QString::number(w, 'g', 6));
    std::vector<std::vector<uint16_t>> buffers(numberOfChannels);
    std::vector<std::unique_ptr<AtomicFile>> files(numberOfChannels);
    bool failed = false;
    std::vector<AtomicFile *> writing(numberOfChannels, nullptr);
    const std::function<void(uint32_t)> fail = [&](uint32_t c) {
        // Skip this channel: its file would miss images. Its temporary file goes with it.
        failed = true;
        mainWindow->AddMessage(MessageError, QObject::tr("Failed to save TIFF file %1").arg(files[c]->FileName()));
        files[c].reset();
        writing[c] = nullptr;
        buffers[c] = std::vector<uint16_t>();
    };
    for (uint32_t c = 0; c < numberOfChannels; ++c) {
        if (photonCounts[c] == 0)
            continue;
        files[c] = std::make_unique<AtomicFile>(QStringLiteral("%1_Histogram_ch%2.tif").arg(file->exportBase).arg(c + 1));
        if (!files[c]->Open() || !mainWindow->WriteTiffHeader(*files[c], N, W, H, 16, extra))
            fail(c);
        else
            writing[c] = files[c].get();
    }

    auto anyWriting = [&] { return std::any_of(files.begin(), files.end(), [](const auto &f) { return f != nullptr; }); };
    if (partitionStack) {
        WriteStackBlocks(bounds, w, writing, fail);
    } else {
        // The chunk buffers: counts of one chunk, pixel by pixel.
        for (uint32_t c = 0; c < numberOfChannels; ++c)
            if (files[c])
                buffers[c].assign(static_cast<std::size_t>(step) * W * H, 0);
        std::vector<uint16_t> staging;
        for (std::size_t i = 0; i + 1 < bounds.size() && anyWriting(); ++i) {
            const uint32_t b = bounds[i], e = bounds[i + 1];
            FillHistogramChunk(b, e, w, buffers);
            for (uint32_t c = 0; c < numberOfChannels; ++c)
                if (files[c] && !(AppendHistogramImages(*files[c], buffers[c].data(), e - b, staging) && files[c]->Flush()))
                    fail(c);
        }
    }
    for (uint32_t c = 0; c < numberOfChannels; ++c)
        if (files[c] && !files[c]->Commit())
            fail(c);
    if (!failed)
        mainWindow->AddMessage(MessageNormal, QObject::tr("Histogram saved"));
}

bool ImageScan::AppendHistogramImages(AtomicFile &out, uint16_t *counts, uint32_t bins, std::vector<uint16_t> &staging) const
{
    // The counts lie pixel by pixel; the file wants image by image. Groups of
    // images go through a staging buffer of at most 16 MB, in tiles of 64
    // pixels so that reads and writes both stay in the cache. Every count
    // read is set back to 0 for the next chunk.
    constexpr std::size_t kTile = 64;
    const std::size_t image = static_cast<std::size_t>(imageWidth) * StackRows();
    const uint32_t group = static_cast<uint32_t>(
        std::max<std::size_t>(1, std::min<std::size_t>(bins, (std::size_t{16} << 20) / (2 * image))));
    staging.resize(group * image);
    for (uint32_t g0 = 0; g0 < bins; g0 += group) {
        const uint32_t n = std::min(group, bins - g0);
        for (std::size_t p0 = 0; p0 < image; p0 += kTile) {
            const std::size_t p1 = std::min(image, p0 + kTile);
            for (uint32_t j = 0; j < n; ++j) {
                uint16_t *to = staging.data() + j * image;
                uint16_t *from = counts + g0 + j;
                for (std::size_t p = p0; p < p1; ++p) {
                    to[p] = qToLittleEndian(from[p * bins]);
                    from[p * bins] = 0;
                }
            }
        }
        const qint64 bytes = static_cast<qint64>(n * image * sizeof(uint16_t));
        if (!out.Write(staging.data(), bytes))
            return false;
    }
    return true;
}

void ImageScan::FillHistogramChunk(uint32_t begin, uint32_t end, double width,
                                   std::vector<std::vector<uint16_t>> &buffers)
{
    // The buffers are all 0 here: allocated so, and emptied again as each chunk is written out.
    std::vector<double> cursorMin, cursorMax;
    mainWindow->GetCursors(cursorMin, cursorMax, kNsPerS);
    mainWindow->AddMessage(MessageNormal, QStringLiteral("%1 %2 %3").arg(begin).arg(end).arg(end - begin));

    // Per channel value: its buffer and cursors (ns, inclusive); a null
    // buffer skips the photon (inactive channel, or one the file does not have).
    struct Slot {
        uint16_t *buffer = nullptr;
        double cursorMin = 0, cursorMax = 0;
    } table[kChannelSlots];
    for (uint32_t c = 0; c < numberOfChannels && c + 1 < kChannelSlots; ++c) {
        if (photonCounts[c] == 0 || buffers[c].empty() || c >= cursorMin.size() || c >= cursorMax.size())
            continue;
        table[c + 1] = {buffers[c].data(), cursorMin[c], cursorMax[c]};
    }
    // Per dtime value: its delay bin within this chunk, or -1. The width is
    // a whole number of delay steps, so the bin is a whole quotient.
    const uint32_t steps = DelaySteps(width);
    std::vector<int32_t> binOf(delayBins, -1);
    for (uint32_t k = 0; k < delayBins; ++k) {
        const uint32_t q = k / steps;
        if (q >= begin && q < end)
            binOf[k] = static_cast<int32_t>(q - begin);
    }

    // Counted pixel by pixel (the bins of one pixel side by side): photons
    // come in pixel order, so the counts they hit lie close together.
    const std::size_t W = imageWidth;
    const std::size_t bins = end - begin;
    WalkKeptLines([&](const auto &cursor, uint32_t line, uint32_t x) {
        const Slot &slot = table[cursor.channel];
        const int32_t bin = binOf[cursor.dtime];
        if (!slot.buffer || bin < 0 || cursor.truetime < slot.cursorMin || cursor.truetime > slot.cursorMax)
            return;
        uint16_t &count = slot.buffer[(line * W + x) * bins + static_cast<std::size_t>(bin)];
        if (count != UINT16_MAX)  // saturate, as the count stacks do
            ++count;
    });
    mainWindow->SetProgress(100);
}

/*!
 * Where the photons of the lifetime-resolved stack go, block by block. The
 * images of one chunk and channel are cut into blocks of stackBlockBytes:
 * whole images when an image fits in a block (g images a block), otherwise
 * runs of R rows of one image. Blocks are numbered in the order they are
 * written: chunk by chunk, in a chunk channel by channel, in a channel in
 * file order. A photon's block and its count's place in it follow from its
 * delay bin (a table per dtime value and channel) and its line (a table per
 * line); its pixel adds x.
 */
struct ImageScan::StackPlan {
    // The channels written, in channel order.
    std::vector<uint32_t> written;
    uint32_t imagesPerBlock = 1;  // g
    uint32_t rowsPerBlock = 1;    // R: H when a block holds whole images
    uint32_t blocksPerImage = 1;  // ceil(H / R)
    // Per chunk: its first block, and its blocks per channel.
    std::vector<std::size_t> chunkFirst, chunkBlocks;
    // Per block: its chunk, its channel's place among the written ones, and its counts.
    std::vector<uint32_t> blockChunk, blockSlot, blockCounts;
    // Per channel value (kChannelSlots): its place among the written channels, or -1.
    std::vector<int8_t> slotOf;
    // Per written channel and dtime value: the block of line 0 (-1: not
    // counted) and the place of its pixel (0, 0) in the block.
    std::vector<int64_t> blockOf;
    std::vector<uint32_t> offsetOf;
    // Per line: blocks and counts to add.
    std::vector<uint32_t> lineBlock, lineOffset;
    // Per channel value: cursors (ns, inclusive).
    std::vector<double> cursorMin, cursorMax;
};

/*!
 * Counts the blocks of a stack plan one at a time into one block buffer and
 * appends each to its channel's file; a failed write drops the channel.
 */
struct ImageScan::StackBlockWriter {
    ImageScan &scan;
    const StackPlan &plan;
    const std::vector<uint32_t> &bounds;
    std::vector<AtomicFile *> &files;
    const std::function<void(uint32_t)> &fail;
    std::vector<uint16_t> counts;
    const bool littleEndian = QSysInfo::ByteOrder == QSysInfo::LittleEndian;

    bool AnyWriting() const
    {
        return std::any_of(files.begin(), files.end(), [](const auto &f) { return f != nullptr; });
    }
    // Adds the places [p, end) to the counts of a block.
    template <class Place>
    void CountPlaces(const Place *p, const Place *end)
    {
        for (; p != end; ++p) {
            uint16_t &count = counts[*p];
            if (count != UINT16_MAX)  // saturate, as the count stacks do
                ++count;
        }
    }
    // Writes the blocks of the chunks first .. last - 1, block b counted by
    // countBlock(b), and flushes the files after each chunk.
    template <class CountBlock>
    void WriteChunks(std::size_t first, std::size_t last, CountBlock &&countBlock)
    {
        for (std::size_t k = first; k < last; ++k) {
            scan.mainWindow->AddMessage(MessageNormal,
                                        QStringLiteral("%1 %2 %3").arg(bounds[k]).arg(bounds[k + 1]).arg(bounds[k + 1] - bounds[k]));
            for (std::size_t b = plan.chunkFirst[k]; b < plan.chunkFirst[k + 1]; ++b) {
                const uint32_t c = plan.written[plan.blockSlot[b]];
                if (!files[c])
                    continue;
                std::fill_n(counts.data(), plan.blockCounts[b], uint16_t{0});
                countBlock(b);
                WriteCounts(c, plan.blockCounts[b]);
            }
            for (uint32_t c : plan.written)
                if (files[c] && !files[c]->Flush())
                    fail(c);
        }
    }
    // Appends the first n counts to channel c's file.
    void WriteCounts(uint32_t c, std::size_t n)
    {
        if (!littleEndian)
            for (std::size_t m = 0; m < n; ++m)
                counts[m] = qToLittleEndian(counts[m]);
        if (!files[c]->Write(counts.data(), static_cast<qint64>(n * sizeof(uint16_t))))
            fail(c);
    }
};

ImageScan::StackPlan ImageScan::PlanStackBlocks(const std::vector<uint32_t> &bounds, double width,
                                                const std::vector<AtomicFile *> &files)
{
    const std::size_t W = imageWidth, H = StackRows(), image = W * H;
    std::vector<double> cursorMin, cursorMax;
    mainWindow->GetCursors(cursorMin, cursorMax, kNsPerS);
    StackPlan plan;
    for (uint32_t c = 0; c < numberOfChannels && c + 1 < kChannelSlots; ++c)
        if (files[c])
            plan.written.push_back(c);
    if (plan.written.empty())
        return plan;
    const std::vector<uint32_t> &written = plan.written;
    LayOutStackBlocks(plan, bounds);
    const bool wholeImages = plan.rowsPerBlock == H;
    // The width is a whole number of delay steps: a dtime value's bin is a
    // whole quotient, as in the lifetime histograms; bins from N on are not counted.
    const uint32_t steps = DelaySteps(width);
    const uint32_t N = bounds.back();
    plan.slotOf.assign(kChannelSlots, -1);
    for (uint32_t s = 0; s < written.size(); ++s)
        plan.slotOf[written[s] + 1] = static_cast<int8_t>(s);
    plan.blockOf.assign(written.size() * delayBins, -1);
    plan.offsetOf.assign(delayBins, 0);
    plan.cursorMin.assign(kChannelSlots, 0);
    plan.cursorMax.assign(kChannelSlots, 0);
    for (uint32_t k = 0; k < delayBins; ++k) {
        const uint32_t bin = k / steps;
        if (bin >= N)
            continue;
        const std::size_t i = static_cast<std::size_t>(std::upper_bound(bounds.begin(), bounds.end(), bin) - bounds.begin()) - 1;
        const uint32_t j = bin - bounds[i];  // image within the chunk
        const std::size_t local = wholeImages ? j / plan.imagesPerBlock : static_cast<std::size_t>(j) * plan.blocksPerImage;
        plan.offsetOf[k] = wholeImages ? static_cast<uint32_t>(j % plan.imagesPerBlock * image) : 0;
        for (uint32_t s = 0; s < written.size(); ++s)
            plan.blockOf[static_cast<std::size_t>(s) * delayBins + k] =
                static_cast<int64_t>(plan.chunkFirst[i] + s * plan.chunkBlocks[i] + local);
    }
    // A channel without cursors of its own counts no photon: its images stay empty.
    for (uint32_t s = 0; s < written.size(); ++s) {
        const uint32_t c = written[s];
        const bool cursors = c < cursorMin.size() && c < cursorMax.size();
        plan.cursorMin[c + 1] = cursors ? cursorMin[c] : HUGE_VAL;
        plan.cursorMax[c + 1] = cursors ? cursorMax[c] : -HUGE_VAL;
    }
    for (std::size_t y = 0; y < H; ++y) {
        plan.lineBlock.push_back(wholeImages ? 0 : static_cast<uint32_t>(y / plan.rowsPerBlock));
        plan.lineOffset.push_back(wholeImages ? static_cast<uint32_t>(y * W) : static_cast<uint32_t>(y % plan.rowsPerBlock * W));
    }
    return plan;
}

void ImageScan::LayOutStackBlocks(StackPlan &plan, const std::vector<uint32_t> &bounds) const
{
    const std::size_t W = imageWidth, H = StackRows(), image = W * H;
    const std::size_t blockCounts = std::max<std::size_t>(1, stackBlockBytes / 2);
    if (image <= blockCounts) {
        plan.imagesPerBlock = static_cast<uint32_t>(blockCounts / image);
        plan.rowsPerBlock = static_cast<uint32_t>(H);
    } else {
        plan.rowsPerBlock = static_cast<uint32_t>(std::max<std::size_t>(1, blockCounts / W));
        plan.blocksPerImage = static_cast<uint32_t>((H + plan.rowsPerBlock - 1) / plan.rowsPerBlock);
    }
    const bool wholeImages = plan.rowsPerBlock == H;
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i) {
        const uint32_t images = bounds[i + 1] - bounds[i];
        const std::size_t blocks = wholeImages ? (images + plan.imagesPerBlock - 1) / plan.imagesPerBlock
                                               : static_cast<std::size_t>(images) * plan.blocksPerImage;
        plan.chunkFirst.push_back(plan.blockChunk.size());
        plan.chunkBlocks.push_back(blocks);
        for (uint32_t s = 0; s < plan.written.size(); ++s)
            for (std::size_t k = 0; k < blocks; ++k) {
                plan.blockChunk.push_back(static_cast<uint32_t>(i));
                plan.blockSlot.push_back(s);
                const std::size_t counts = wholeImages
                    ? std::min<std::size_t>(plan.imagesPerBlock, images - k * plan.imagesPerBlock) * image
                    : std::min<std::size_t>(plan.rowsPerBlock, H - k % plan.blocksPerImage * plan.rowsPerBlock) * W;
                plan.blockCounts.push_back(static_cast<uint32_t>(counts));
            }
    }
    plan.chunkFirst.push_back(plan.blockChunk.size());
}

template <class At>
void ImageScan::WalkStackPlaces(const StackPlan &plan, At &&at)
{
    // Calls at(block, place) for every photon counted in the stack.
    WalkKeptLines([&](const auto &cursor, uint32_t line, uint32_t x) {
        const int slot = plan.slotOf[cursor.channel];
        if (slot < 0)
            return;
        const int64_t block = plan.blockOf[static_cast<std::size_t>(slot) * delayBins + cursor.dtime];
        if (block < 0 || cursor.truetime < plan.cursorMin[cursor.channel] || cursor.truetime > plan.cursorMax[cursor.channel])
            return;
        at(static_cast<std::size_t>(block) + plan.lineBlock[line], plan.offsetOf[cursor.dtime] + plan.lineOffset[line] + x);
    });
    mainWindow->SetProgress(100);
}

// The fills are flattened so that the record walk and its per-photon step
// are compiled into them as one loop, with their tables held in registers.
template <class Place>
__attribute__((flatten)) void ImageScan::FillStackPaged(StackBlockWriter &out, double filePhotons)
{
    // One pass puts the places straight into pages of kStackPage places per
    // block, in the order they come; the pages of a block form a list.
    const StackPlan &plan = out.plan;
    constexpr uint32_t kNone = UINT32_MAX;
    const std::size_t blocks = plan.blockChunk.size();
    const std::size_t pages = static_cast<std::size_t>(filePhotons) / kStackPage + blocks + 1;
    LargeArray<Place> pool(pages * kStackPage);
    std::vector<uint32_t> nextPage(pages, kNone), firstPage(blocks, kNone), lastPage(blocks, kNone);
    std::vector<std::size_t> at(blocks, 0), stop(blocks, 0);
    std::size_t freePage = 0;
    WalkStackPlaces(plan, [&](std::size_t block, uint32_t place) {
        if (at[block] == stop[block]) {
            // The record scan counted every photon: the pages cannot run out.
            const uint32_t page = static_cast<uint32_t>(freePage++);
            (firstPage[block] == kNone ? firstPage[block] : nextPage[lastPage[block]]) = page;
            lastPage[block] = page;
            at[block] = page * kStackPage;
            stop[block] = at[block] + kStackPage;
        }
        pool[at[block]++] = static_cast<Place>(place);
    });
    const std::size_t chunks = out.bounds.size() - 1;
    for (std::size_t k = 0; k < chunks && out.AnyWriting(); ++k)
        out.WriteChunks(k, k + 1, [&](std::size_t b) {
            for (uint32_t page = firstPage[b]; page != kNone; page = nextPage[page]) {
                const Place *p = pool.data() + static_cast<std::size_t>(page) * kStackPage;
                out.CountPlaces(p, page == lastPage[b] ? pool.data() + at[b] : p + kStackPage);
            }
        });
}

template <class Place>
__attribute__((flatten)) void ImageScan::FillStackPass(StackBlockWriter &out, std::size_t i, std::size_t j, uint64_t total, std::vector<uint64_t> &next)
{
    // Puts the places of the chunks i .. j - 1 in order of their blocks, then
    // counts and writes each block; next[b - first] is where block b's places begin.
    const StackPlan &plan = out.plan;
    const std::size_t first = plan.chunkFirst[i], last = plan.chunkFirst[j];
    LargeArray<Place> places(total);
    if (total > 0)
        WalkStackPlaces(plan, [&](std::size_t block, uint32_t place) {
            if (block >= first && block < last)
                places[next[block - first]++] = static_cast<Place>(place);
        });
    // next[b - first] is now the end of block b's places: block b starts where b - 1 ends.
    out.WriteChunks(i, j, [&](std::size_t b) {
        out.CountPlaces(places.data() + (b == first ? 0 : next[b - first - 1]), places.data() + next[b - first]);
    });
}

__attribute__((flatten)) void ImageScan::FillStackCounted(StackBlockWriter &out, double width, uint64_t room, bool dense, bool narrowPlaces)
{
    const StackPlan &plan = out.plan;
    const std::vector<uint32_t> &bounds = out.bounds;
    const std::size_t chunks = bounds.size() - 1;
    const std::size_t image = static_cast<std::size_t>(imageWidth) * StackRows();
    // The photons of every block.
    std::vector<uint64_t> photons(plan.blockChunk.size() + 1, 0);
    std::vector<uint64_t> chunkPhotons(chunks, dense ? room + 1 : 0);
    if (!dense) {
        WalkStackPlaces(plan, [&](std::size_t block, uint32_t) { ++photons[block]; });
        for (std::size_t b = 0; b + 1 < photons.size(); ++b)
            chunkPhotons[plan.blockChunk[b]] += photons[b];
    }
    std::vector<std::vector<uint16_t>> buffers(numberOfChannels);
    std::vector<uint16_t> staging;
    for (std::size_t i = 0; i < chunks && out.AnyWriting();) {
        if (chunkPhotons[i] > room) {
            // More photons than places: this chunk is counted record by record.
            for (uint32_t c : plan.written)
                if (out.files[c] && buffers[c].empty())
                    buffers[c].assign(static_cast<std::size_t>(bounds[1] - bounds[0]) * image, 0);
            const uint32_t b = bounds[i], e = bounds[i + 1];
            FillHistogramChunk(b, e, width, buffers);
            for (uint32_t c : plan.written)
                if (out.files[c] && !(AppendHistogramImages(*out.files[c], buffers[c].data(), e - b, staging) && out.files[c]->Flush()))
                    out.fail(c);
            ++i;
            continue;
        }
        // The chunks i .. j - 1 in one pass: the places of their photons, block after block.
        std::size_t j = i + 1;
        uint64_t total = chunkPhotons[i];
        while (j < chunks && total + chunkPhotons[j] <= room)
            total += chunkPhotons[j++];
        const std::size_t first = plan.chunkFirst[i], last = plan.chunkFirst[j];
        std::vector<uint64_t> next(last - first + 1, 0);
        for (std::size_t b = first; b < last; ++b)
            next[b - first + 1] = next[b - first] + photons[b];
        for (std::vector<uint16_t> &buffer : buffers)
            std::vector<uint16_t>().swap(buffer);
        if (narrowPlaces)
            FillStackPass<uint16_t>(out, i, j, total, next);
        else
            FillStackPass<uint32_t>(out, i, j, total, next);
        i = j;
    }
}

void ImageScan::WriteStackBlocks(const std::vector<uint32_t> &bounds, double width,
                                 std::vector<AtomicFile *> &files, const std::function<void(uint32_t)> &fail)
{
    const StackPlan plan = PlanStackBlocks(bounds, width, files);
    if (plan.written.empty())
        return;
    const std::size_t image = static_cast<std::size_t>(imageWidth) * StackRows();
    const std::size_t chunks = bounds.size() - 1;
    // A place in a block of at most 65536 counts takes 2 bytes, otherwise 4.
    // The places of one pass take at most the memory of the chunk buffers.
    const std::size_t largestBlock = std::max<std::size_t>(
        1, plan.blockCounts.empty() ? 1 : *std::max_element(plan.blockCounts.begin(), plan.blockCounts.end()));
    const bool narrowPlaces = largestBlock <= 65536;
    const double placeBytes = narrowPlaces ? 2 : 4;
    const double bufferBytes = 2.0 * (bounds.size() > 1 ? bounds[1] - bounds[0] : 0) * image * plan.written.size();
    const uint64_t room = static_cast<uint64_t>(std::max(bufferBytes, 4.0 * largestBlock) / placeBytes);
    // Photons far denser than the counts (more per chunk than there are
    // places) are counted record by record: the pass that counts the
    // photons of each block would be spent for nothing.
    double filePhotons = 0;
    for (uint32_t c : plan.written)
        filePhotons += photonCounts[c];
    const bool dense = filePhotons / static_cast<double>(chunks) > static_cast<double>(room);

    StackBlockWriter out{*this, plan, bounds, files, fail, std::vector<uint16_t>(largestBlock)};
    // When every photon of the file fits, with a page to spare for each
    // block, one pass fills pages of places; no pass counts them first.
    const std::size_t blocks = plan.blockChunk.size();
    if (!dense && filePhotons + static_cast<double>(blocks) * kStackPage <= static_cast<double>(room)) {
        if (narrowPlaces)
            FillStackPaged<uint16_t>(out, filePhotons);
        else
            FillStackPaged<uint32_t>(out, filePhotons);
        return;
    }
    FillStackCounted(out, width, room, dense, narrowPlaces);
}
