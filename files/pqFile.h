#pragma once
/*!
 * \brief An open PicoQuant T3 measurement file: acquisition constants, all
 * records in memory, the results of the record scan and the export names.
 *
 * pt3File and ptuFile fill it from their headers. Records are decoded only
 * through T3RecordCursor, compiled for the file's record layout.
 */
#include "files/FrameList.h"
#include "files/RecordBuffer.h"
#include "files/RecordFormat.h"

#include <QString>
#include <cstdint>
#include <vector>

class FotonelServices;
class QFile;

/// Values of pqFile::ScanType.
enum ScanKind { ScanUnknown = 0, ScanImage = 1, ScanLine = 2, ScanPoint = 3 };

class pqFile {
public:
    explicit pqFile(FotonelServices &mainWindow);
    virtual ~pqFile();
    pqFile(const pqFile &) = delete;
    pqFile &operator=(const pqFile &) = delete;

    virtual double SyncPeriod() const;     ///< ns
    virtual int ImageWidth() const;
    virtual int ImageHeight() const;
    virtual int NumberOfChannels() const;
    virtual double Resolution() const;     ///< ns per dtime bin
    virtual int NumberOfRecords() const;   ///< record count of the header
    /// 1 point, 2 line, 3 area image, as the imaging header says; 0 when it does not.
    virtual int ImageDimensions() const;
    /// Side of a pixel of the header's image width in µm; 0 when the header does not say.
    virtual double PixelSize() const { return 0; }
    virtual bool Open(const QString &fileName);
    virtual void ReadRecords(QFile &stream);
    virtual void WriteRecords();
    virtual bool ScanRecords();
    /// Creates the export folder when it is missing; false (the reason logged)
    /// when it cannot be created or written.
    virtual bool ExportFolderExists();

    FotonelServices &mainWindow;
    RecordBuffer records;                  ///< all T3 records, file order
    RecordFormat recordFormat = RecordFormat::PicoHarpT3;  ///< layout of every record, set by the header
    MarkerMeanings markerMeaning;          ///< marker values of line start, line end and frame
    bool ok = false;                       ///< result of the last Open
    bool scanned = false;                  ///< ScanRecords ran for this file
    int ScanType = ScanUnknown;
    std::vector<uint32_t> photonsPerChannel;  ///< index 0 = channel 1
    std::vector<uint32_t> eventsPerMarker;    ///< 17 counters by marker value
    uint32_t syncRecords = 0;              ///< sync records of a T2 file (HydraHarp-family layouts)
    /// A frame marker of a T3 file as the record scan met it: its record and
    /// the sync periods of the overflows before it, where a photon pass may
    /// start in the middle of the file.
    struct FrameMarkerAt {
        uint32_t index;
        uint64_t overflowOffset;
    };
    /// The first kFrameMarkersKept frame markers (records that decode as the
    /// frame marker and as neither line marker), in file order.
    std::vector<FrameMarkerAt> frameMarkers;
    static constexpr std::size_t kFrameMarkersKept = 65536;
    /// Where the record scan split a large file between its two threads: the
    /// first record of the second half, the sync periods of the overflows
    /// before it and the photons of each channel before it (index 0 =
    /// channel 1). Index 0 when the file was counted in one pass.
    struct RecordSplit {
        uint32_t index = 0;
        uint64_t overflowOffset = 0;
        std::vector<uint32_t> photonsBefore;
    };
    RecordSplit recordSplit;
    /// Files of this many records or more are counted by two threads, each
    /// over one half (tests lower it).
    static std::size_t parallelScanRecords;
    /// Line and frame markers the second thread keeps for handling in file
    /// order; past them, the first thread counts the rest (tests lower it).
    static std::size_t deferredMarkersKept;
    /// A T2 file: time tags; delays only where its syncs give them (syncTicks).
    bool TimeTags() const { return IsTimeTagFormat(recordFormat); }
    /// A T2 file with syncs: the range of its delays in resolution steps, the
    /// sync period measured from its sync records; 0 when it has no delays.
    uint32_t syncTicks = 0;
    /// False for a T2 file whose records give no delays (no syncs, or no
    /// sync period measured from them).
    bool HasDelays() const { return !TimeTags() || syncTicks != 0; }
    /// Delay values a photon can take: dtime values, or a T2 file's syncTicks (1 without).
    uint32_t DelayBins() const
    {
        return TimeTags() ? (syncTicks != 0 ? syncTicks : 1u) : DelayBinsOf(recordFormat);
    }
    /// ns, the range of delays: the sync period, or a T2 file's measured one.
    double DelayRange() const { return TimeTags() && syncTicks != 0 ? syncTicks * Resolution() : SyncPeriod(); }
    uint32_t numberOfFrames = 0;           ///< frames.count
    /// An area image (ImgHdr_Dimensions 3) whose frames hold ImgHdr_PixY lines:
    /// an image scan even with a single frame.
    bool areaImage = false;
    uint32_t linesPerFrame = 0;
    FrameList frames;                      ///< where the frames lie; every walk over them reads it
    QString fileName;
    QString exportBase;                    ///< dir/name_export/name
    QString exportFolder;                  ///< dir/name_export

protected:
    /*!
     * \brief Opens \p name read-only into \p stream when it is a readable
     * regular file; otherwise logs the reason at error level (missing, a
     * dangling link, a folder, a pipe or device, no permission) and returns
     * false. Never blocks on a pipe.
     */
    bool OpenMeasurement(const QString &name, QFile &stream);
    /// Reads and checks the header from the start of \p stream and leaves it
    /// at the first record; false (reason logged) refuses the file.
    virtual bool ReadHeader(QFile &stream);
    /// Writes the header text to exportBase + ".hdr".
    virtual void WriteHeaderFile();
    /// Writes \p text as 8-bit text to exportBase + ".hdr"; a failure is logged naming the file.
    bool SaveHeaderText(const QString &text);
    /// The record count the header announces (the summary shows it in full).
    virtual int64_t HeaderRecordCount() const;
    /// \p headerCount, lowered to the records actually in memory once they
    /// were read, so loops bounded by NumberOfRecords never leave the array.
    int ClippedRecordCount(int64_t headerCount) const;

    bool recordsRead = false;              ///< ReadRecords loaded at least one record
    /// The summary's first lines for a T2 file: mode, record type, resolution.
    QString TimeTagSummary() const;

private:
    /// The counting pass of ScanRecords over records of layout \p Format.
    template <class Format>
    void CountRecords(FrameList::Runs &runs, uint32_t channels, uint32_t &unknownSpecial);
    /// Sets syncTicks from the sync records of a T2 file of layout \p Format.
    template <class Format>
    void MeasureSyncPeriod();
};
