#pragma once
/*!
 * \brief Writes the photons of an open file as Photon-HDF5 (version 0.5):
 * NAME.h5 in the export folder, through the HDF5 library. The library is
 * loaded with the first file written, from the module hdf5/Hdf5Writer.h
 * describes (see scans/Hdf5Module.h); without it the export fails and says why.
 *
 * Every photon of the file in record order: its time in sync periods after
 * the overflows (T2 files: in time-tag units), its dtime (T3 files) and its
 * channel; the markers under /user/markers. The arrays are written in chunks
 * of a fixed number of records, so memory does not grow with the file. The
 * file is built under a temporary name of this process beside the final
 * one and renamed only when the library closed it without error.
 *
 * Creation times: /identity/creation_time is now, or SOURCE_DATE_EPOCH (s
 * since 1970, UTC) when that is set, so repeated runs can give the same
 * bytes; the library's own object times are not stored.
 */
#include <QString>

class FotonelServices;
class pqFile;

class PhotonHdf5Writer {
public:
    PhotonHdf5Writer(FotonelServices &host, const pqFile &file);
    /// Writes NAME.h5; logs the outcome (an error line naming the file on failure).
    bool Write();
    /// Photons written into each array chunk (tests make it small).
    static constexpr std::size_t kChunkRecords = 1 << 20;
    std::size_t chunkRecords = kChunkRecords;

private:
    FotonelServices &host;
    const pqFile &file;
};
