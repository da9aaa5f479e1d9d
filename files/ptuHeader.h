#pragma once
/*!
 * \brief The tagged header of a .ptu file: magic, version and self-describing
 * tags up to "Header_End". Builds the header text while reading and keeps the
 * few tag values the program uses. T3 records of the PicoHarp, HydraHarp,
 * TimeHarp 260 and MultiHarp are accepted (files/RecordFormat.h); T2 and
 * every other record type are refused with the reason.
 */
#include "files/RecordFormat.h"

#include <QString>
#include <cstdint>

class FotonelServices;
class QIODevice;

class ptuHeader {
public:
    explicit ptuHeader(FotonelServices &mainWindow);

    /// Reads magic, version and all tags, leaving \p stream at the first
    /// record. Shows the header text on success; logs the reason and returns
    /// false otherwise.
    bool ReadHeader(QIODevice &stream);
    /// The text built by ReadHeader; labels right-aligned in 40 characters.
    const QString &HeaderText() const { return headerText; }

    QString headerText;
    int labelWidth = 40;
    double resolution = 0;          ///< ns per dtime bin (MeasDesc_Resolution x 1e9)
    int64_t recordCount = 0;        ///< TTResult_NumberOfRecords
    int imageWidth = 0;             ///< ImgHdr_PixX
    int imageHeight = 0;            ///< ImgHdr_PixY
    int channelCount = 4;
    int dimensions = 0;             ///< ImgHdr_Dimensions: 1 point, 2 line, 3 area image; 0 when absent
    RecordFormat recordFormat = RecordFormat::PicoHarpT3;  ///< from TTResultFormat_TTTRRecType
    /// Marker values of line start, line end and frame: from the ImgHdr_LineStart,
    /// ImgHdr_LineStop and ImgHdr_Frame tags, else those of the PicoHarp (1, 2, 4).
    MarkerMeanings markerMeaning;
    double syncPeriod = -1.0;       ///< ns, 1e9 / TTResult_SyncRate; -1 until that tag was read

    // Which of the tags the program needs were present.
    bool hasRecordType = false;
    bool hasRecordCount = false;
    bool hasSyncRate = false;
    bool hasResolution = false;
    bool hasGlobalResolution = false;
    double globalResolution = 0;    ///< ns, MeasDesc_GlobalResolution x 1e9: the unit of T2 time tags
    int64_t syncRate = 0;           ///< Hz
    double pixelSize = 0;           ///< µm, ImgHdr_PixResol; 0 when absent

private:
    bool CheckRequiredTags();
    /// The resolution of a T2 file: its time-tag unit, also its tick (syncPeriod).
    bool TakeTimeTagResolution();
    /// Refuses (logged, false) a record type that is no T3 layout this program reads.
    bool TakeRecordType(int64_t type);
    /// markerMeaning from the imaging tags read.
    void SetMarkerMeanings();
    // Marker bit numbers (1-based) of the imaging tags; 0 when the tag is absent.
    int64_t lineStartBit = 0, lineStopBit = 0, frameBit = 0;
    FotonelServices &mainWindow;
};
