#pragma once
/*!
 * \brief A PicoHarp 300 .pt3 measurement (binary header version 2.0 followed
 * by the T3 records).
 */
#include "files/pqFile.h"
#include "files/pt3Header.h"

class pt3File : public pqFile {
public:
    explicit pt3File(FotonelServices &mainWindow);

    double SyncPeriod() const override;    ///< ns, 1e9 / sync rate; -1 before a header was read
    int ImageWidth() const override;       ///< imaging header item 6
    int ImageHeight() const override;      ///< imaging header item 7
    int NumberOfChannels() const override;
    double Resolution() const override;    ///< ns per dtime bin

    pt3Header header;

protected:
    bool ReadHeader(QFile &stream) override;
    void WriteHeaderFile() override;
    int64_t HeaderRecordCount() const override;
};
