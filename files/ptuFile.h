#pragma once
/*!
 * \brief A tagged .ptu measurement holding T3 records of a PicoHarp,
 * HydraHarp, TimeHarp 260 or MultiHarp; its tags name the record layout and
 * the meanings of the markers.
 */
#include "files/pqFile.h"
#include "files/ptuHeader.h"

class ptuFile : public pqFile {
public:
    explicit ptuFile(FotonelServices &mainWindow);

    double SyncPeriod() const override;    ///< ns, 1e9 / TTResult_SyncRate
    int ImageWidth() const override;       ///< ImgHdr_PixX
    int ImageHeight() const override;      ///< ImgHdr_PixY
    int NumberOfChannels() const override;
    double Resolution() const override;    ///< ns, MeasDesc_Resolution x 1e9
    int ImageDimensions() const override;  ///< ImgHdr_Dimensions
    double PixelSize() const override;     ///< µm, ImgHdr_PixResol

    ptuHeader header;

protected:
    bool ReadHeader(QFile &stream) override;
    void WriteHeaderFile() override;
    int64_t HeaderRecordCount() const override;  ///< the full 64-bit TTResult_NumberOfRecords
};
