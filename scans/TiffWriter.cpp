#include "scans/TiffWriter.h"

#include <QFile>
#include <cerrno>
#include <tiffio.h>
#include <unistd.h>

TiffWriter::TiffWriter(const QString &name) : file(name) {}

// The temporary file goes with the AtomicFile member unless Commit succeeded.
TiffWriter::~TiffWriter()
{
    if (handle)
        TIFFClose(handle);
}

bool TiffWriter::Check(bool ok)
{
    if (!ok)
        failed = true;
    if (failed && !file.Failed())
        file.Fail(EIO);
    return !failed;
}

bool TiffWriter::Open()
{
    // libtiff would print its own complaints on standard error; every failure
    // reaches the caller through the return values and is logged there with
    // the file's name.
    static const bool quiet = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        return true;
    }();
    (void)quiet;
    if (!Check(file.Open()))
        return false;
    // libtiff closes the descriptor it is given: it gets a copy of ours.
    const int copy = ::dup(file.Descriptor());
    handle = copy >= 0 ? TIFFFdOpen(copy, QFile::encodeName(file.TemporaryName()).constData(), "w") : nullptr;
    if (!handle && copy >= 0)
        ::close(copy);
    return Check(handle != nullptr);
}

bool TiffWriter::SetPageTags(uint32_t width, uint32_t height, uint16_t bitsPerSample, const QString &description)
{
    return SetTags(width, height, bitsPerSample, description, COMPRESSION_LZW);
}

bool TiffWriter::SetPlainPageTags(uint32_t width, uint32_t height, uint16_t bitsPerSample, const QString &description)
{
    return SetTags(width, height, bitsPerSample, description, COMPRESSION_NONE);
}

bool TiffWriter::SetTags(uint32_t width, uint32_t height, uint16_t bitsPerSample, const QString &description,
                         uint16_t compression)
{
    if (failed || !handle)
        return Check(false);
    bool ok = TIFFSetField(handle, TIFFTAG_IMAGEWIDTH, width) == 1;
    ok = ok && TIFFSetField(handle, TIFFTAG_IMAGELENGTH, height) == 1;
    ok = ok && TIFFSetField(handle, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1;
    ok = ok && TIFFSetField(handle, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) == 1;
    ok = ok && TIFFSetField(handle, TIFFTAG_BITSPERSAMPLE, bitsPerSample) == 1;
    ok = ok && TIFFSetField(handle, TIFFTAG_SAMPLESPERPIXEL, 1) == 1;
    ok = ok && TIFFSetField(handle, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1;
    ok = ok && TIFFSetField(handle, TIFFTAG_COMPRESSION, compression) == 1;
    if (ok && !description.isNull())
        ok = TIFFSetField(handle, TIFFTAG_IMAGEDESCRIPTION, description.toLatin1().constData()) == 1;
    return Check(ok);
}

bool TiffWriter::SetFloatSamples()
{
    if (failed || !handle)
        return Check(false);
    return Check(TIFFSetField(handle, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_IEEEFP) == 1);
}

bool TiffWriter::WriteRows(const void *pixels, uint32_t width, uint32_t height, uint16_t bitsPerSample)
{
    if (failed || !handle)
        return Check(false);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * (bitsPerSample / 8);
    // libtiff takes a non-const row buffer but does not change it.
    auto *bytes = static_cast<unsigned char *>(const_cast<void *>(pixels));
    // An uncompressed page in one strip, in this machine's byte order, is
    // its samples as they lie: written in one piece, not copied row by row
    // into a strip buffer of libtiff's first (the same bytes in the same places).
    uint16_t compression = 0, fillOrder = 0;
    uint32_t rowsPerStrip = 0;
    const tmsize_t all = static_cast<tmsize_t>(rowBytes * height);
    if (TIFFGetFieldDefaulted(handle, TIFFTAG_COMPRESSION, &compression) == 1 && compression == COMPRESSION_NONE &&
        TIFFGetFieldDefaulted(handle, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip) == 1 && rowsPerStrip >= height &&
        TIFFGetFieldDefaulted(handle, TIFFTAG_FILLORDER, &fillOrder) == 1 && fillOrder == FILLORDER_MSB2LSB &&
        !TIFFIsByteSwapped(handle) && height > 0)
        return Check(TIFFWriteRawStrip(handle, 0, bytes, all) == all);
    for (uint32_t row = 0; row < height; ++row)
        if (TIFFWriteScanline(handle, bytes + row * rowBytes, row, 0) != 1)
            return Check(false);
    return true;
}

bool TiffWriter::SetStackPage(uint16_t page, uint16_t pages)
{
    if (failed || !handle)
        return Check(false);
    bool ok = TIFFSetField(handle, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) == 1;
    ok = ok && TIFFSetField(handle, TIFFTAG_PAGENUMBER, page, pages) == 1;
    return Check(ok);
}

bool TiffWriter::WriteDirectory()
{
    if (failed || !handle)
        return Check(false);
    return Check(TIFFWriteDirectory(handle) == 1);
}

bool TiffWriter::Finish()
{
    if (failed || !handle)
        return Check(false);
    // TIFFClose reports nothing: flush first so a full disk shows here.
    const bool flushed = TIFFFlush(handle) == 1;
    TIFFClose(handle);
    handle = nullptr;
    finished = true;
    if (!flushed)
        file.Fail(EIO);
    return Check(flushed);
}

bool TiffWriter::Commit()
{
    if (!finished && !Finish())
        return false;
    return Check(!failed && file.Commit());
}
