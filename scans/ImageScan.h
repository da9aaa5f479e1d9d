#pragma once
/*!
 * \brief Analysis of a raster scan: frames of lines of pixels.
 *
 * Frames are where the file's frame list puts them: between frame markers
 * (4), and a whole run of lines before the first or after the last marker;
 * line starts (1) and line ends (2) bound the lines. Every photon that lies inside a line, passes its channel's
 * delay gate and time cursors (all limits inclusive) is counted into its
 * pixel of a 16-bit count stack per channel. From the stack come the mean
 * and variance images (W x H per channel), the time course over the frames
 * (F per channel: mean count per pixel), lifetime histograms and the
 * information text shown in the Summary pane. lastPhotonTime is the last
 * photon met inside a line.
 *
 * Times: cursor and record times in ns, gates in ns, the cursor controls
 * in s; frame and line times stored in s where the field says so.
 */
#include "scans/RasterScan.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class AtomicFile;

class ImageScan : public RasterScan {
public:
    void Init(FotonelServices &mainWindow, pqFile &file) override;
    void ReconstructImages() override;
    void GatherInformation() override;

    /// Removes the frames that do not hold a full set of lines.
    void CheckImages();
    /// Mean and variance images and the time course over the frames.
    void CalculateStats();
    /// Builds the information text and appends it to the Summary pane.
    void BuildInfoText();
    /*!
     * \brief Writes the lifetime-resolved stack of every active channel:
     * N = ceil(SyncPeriod / w) images of W x H 16-bit counts, w the form's
     * image lifetime bin (ns); image k counts per pixel the photons of the
     * kept frames whose delay falls in bin k (cursors apply, gates do not).
     * Built in chunks of delay bins, one pass over the records per chunk.
     */
    void WriteHistogramStack();
    /*!
     * \brief Writes NAME_flim.ome.tif: the lifetime-resolved stack of every
     * kept frame (bins of the form's image lifetime bin, as WriteHistogramStack),
     * every active channel, with OME-XML whose T axis is frame x bins + bin
     * (the bins as a lifetime modulo). Filled as the lifetime-resolved stack is,
     * with the kept frames one below the other.
     */
    void WriteFlimOmeTiff();

    /// Largest buffer of one chunk of lifetime-resolved stacks, all channels together.
    static constexpr double kChunkBytes = 250000000.0;
    /// Bytes of the counts one block of a lifetime-resolved stack holds: a
    /// block is filled in the processor's cache and written out whole, and
    /// a place in it takes 2 bytes.
    static constexpr uint32_t kStackBlockBytes = 128 * 1024;
    /*!
     * \brief How the lifetime-resolved stack is filled. Partitioned (true):
     * one pass counts the photons of every block, later passes put the
     * photons of as many chunks as the chunk buffers' memory holds in order
     * of their blocks, and each block is then counted in the cache and
     * written. Record by record (false), the form a chunk takes whose photons
     * outnumber what that memory holds: every photon is counted into the
     * chunk's buffers as it comes, one pass per chunk. The files are the same.
     */
    bool partitionStack = true;
    /// Bytes from which the FLIM OME-TIFF is a BigTIFF (64-bit offsets); tests make it small.
    double bigTiffBytes = 4294967295.0;
    /// Block and chunk sizes of the lifetime-resolved stack (tests make them small).
    uint32_t stackBlockBytes = kStackBlockBytes;
    double stackChunkBytes = kChunkBytes;
    /*!
     * \brief Chunk boundaries of \p images delay bins of \p width x \p height
     * 16-bit pixels for \p channels channels: C = ceil(total / kChunkBytes)
     * chunks (into \p chunks) of s = ceil(N / C) bins; boundaries 0, s, 2s,
     * ... kept within N, and N; empty chunks are left out.
     */
    static std::vector<uint32_t> HistogramChunkBounds(uint32_t images, uint32_t width, uint32_t height,
                                                      uint32_t channels, uint32_t &chunks,
                                                      double chunkBytes = kChunkBytes);

    uint32_t imagesRemoved = 0;
    double lineSamplingPeriod = 0;  ///< s, line start to the next line start
    std::vector<uint32_t> linesInFrame;    ///< end-of-line markers per frame as found in the file
    std::vector<double> frameMarkerTimes;  ///< s, frame marker closing each frame
    std::vector<double> frameStartTimes;   ///< s, first line start of each frame

protected:
    /// The three lines of an exported TIFF page: line sampling period, pixel time and the frame's time.
    QString PageDescription(uint32_t frame) const override;
    uint32_t FramesInWalk() const override { return framesInFile; }
    /// A frame is kept when it holds a full set of lines.
    bool FrameKept(uint32_t frame) const override;
    bool ProfilesAsPlots() const override { return false; }
    const std::vector<double> &TimeCourseTimes() const override { return frameStartTimes; }

private:
    /// Counts the photons of delay bins \p begin .. \p end - 1 (bins of
    /// \p width ns) into one buffer per channel: H x W pixels of (end - begin) bins.
    void FillHistogramChunk(uint32_t begin, uint32_t end, double width, std::vector<std::vector<uint16_t>> &buffers);
    /// Appends the \p bins images held pixel by pixel in \p counts to \p out,
    /// image after image, 16-bit little-endian, and sets \p counts back to 0;
    /// false when a write fails.
    bool AppendHistogramImages(AtomicFile &out, uint16_t *counts, uint32_t bins, std::vector<uint16_t> &staging) const;
    /// The number of images of the lifetime-resolved stack of bins of \p w ns
    /// (with a warning when the delays cannot reach its sync period).
    double HistogramStackBins(double w);
    /// Whether \p N images of \p imageBytes per active channel fit on the disk; reports when not.
    bool StackFitsOnDisk(uint32_t N, double imageBytes);
    struct StackPlan;
    struct StackBlockWriter;
    /// The blocks of the stack's chunks \p bounds into the channels of \p files
    /// and the tables that place each photon (no written channel: none).
    StackPlan PlanStackBlocks(const std::vector<uint32_t> &bounds, double width,
                              const std::vector<AtomicFile *> &files);
    /// The block sizes and the blocks of every chunk of \p plan.
    void LayOutStackBlocks(StackPlan &plan, const std::vector<uint32_t> &bounds) const;
    /// Calls \p at(block, place) for every photon counted in the stack of \p plan.
    template <class At>
    void WalkStackPlaces(const StackPlan &plan, At &&at);
    /// The stack in one pass over the records, its places kept in pages per block.
    template <class Place>
    void FillStackPaged(StackBlockWriter &out, double filePhotons);
    /// The stack counted per group of chunks whose places fit in \p room places.
    void FillStackCounted(StackBlockWriter &out, double width, uint64_t room, bool dense, bool narrowPlaces);
    /// One pass of FillStackCounted: the chunks \p i .. \p j - 1 of \p total photons.
    template <class Place>
    void FillStackPass(StackBlockWriter &out, std::size_t i, std::size_t j, uint64_t total, std::vector<uint64_t> &next);
    /// The partitioned fill of the lifetime-resolved stack (see partitionStack) of
    /// the chunks \p bounds of \p width ns into \p files.
    void WriteStackBlocks(const std::vector<uint32_t> &bounds, double width,
                          std::vector<AtomicFile *> &files, const std::function<void(uint32_t)> &fail);
    /// Rows of one image of the stack the blocks fill: H, or H x F with the kept frames one below the other.
    uint32_t StackRows() const { return keptFrameRows ? imageHeight * numberOfFrames : imageHeight; }
    /// Line start to the next line start (s) in the first frame; 0 without two lines.
    template <class Format>
    double MeasureLineSamplingPeriod() const;
    /// Restores the full stack of the gathered geometry (CheckImages shrinks it).
    void RestoreFullStack();
    /// Frames of the file's frame list, before any removal.
    uint32_t framesInFile = 0;
    /// CheckImages has compacted the stack of the last pass.
    bool stackChecked = false;
};
