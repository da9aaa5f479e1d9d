#pragma once
/*!
 * \brief The OME-XML (2016-06 schema) that opens an OME-TIFF file: one image
 * of 16-bit planes in the order XYCZT, the planes stored one per TIFF
 * directory from the first on.
 */
#include <QString>
#include <QStringList>
#include <cstdint>

struct OmeImage {
    QString name;                  ///< the image's name (the measurement's file name)
    QString creator;               ///< program and version
    uint32_t sizeX = 0, sizeY = 0;
    uint32_t sizeT = 1;            ///< planes per channel
    QStringList channels;          ///< one name per channel: SizeC
    double physicalSizeX = 0;      ///< µm; 0 leaves it out
    double physicalSizeY = 0;      ///< µm; 0 leaves it out
    double timeIncrement = 0;      ///< s between time points; 0 leaves it out
    /// Lifetime bins along T (FLIM): T = time point x bins + bin. Start, step
    /// and end (inclusive) of the bins in ps; bins 0 leaves the annotation out.
    uint32_t lifetimeBins = 0;
    double lifetimeStart = 0, lifetimeStep = 0;
};

/// The XML text of \p image: ASCII only (other characters as references).
QString OmeXml(const OmeImage &image);
