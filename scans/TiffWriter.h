#pragma once
/*!
 * \brief One TIFF file written through libtiff, page by page, under a
 * temporary name beside its final one; only a file written to its end is
 * renamed onto the final name, so a failed export leaves no file that looks
 * complete.
 *
 * Every libtiff call's result is looked at; the first failure makes every
 * later step fail, and the caller logs the file's name once.
 */
#include "files/AtomicFile.h"

#include <QString>
#include <cstdint>

struct tiff;

class TiffWriter {
public:
    /// Nothing is created until Open.
    explicit TiffWriter(const QString &fileName);
    /// Closes and removes the temporary file unless Commit succeeded.
    ~TiffWriter();
    TiffWriter(const TiffWriter &) = delete;
    TiffWriter &operator=(const TiffWriter &) = delete;

    /// Creates the temporary file; false when it cannot be created.
    bool Open();
    /*!
     * \brief Sets the tags of one page, in this order: ImageWidth, ImageLength,
     * PlanarConfiguration (contiguous), PhotometricInterpretation (black is
     * zero), BitsPerSample, SamplesPerPixel (1), Orientation (top left),
     * Compression (LZW) and, when \p description is not null, ImageDescription.
     */
    bool SetPageTags(uint32_t width, uint32_t height, uint16_t bitsPerSample, const QString &description);
    /// The same without compression (Compression 1): for readers without an LZW decoder.
    bool SetPlainPageTags(uint32_t width, uint32_t height, uint16_t bitsPerSample, const QString &description);
    /// Marks the samples of the current page as IEEE floating point (set 32 bits per sample).
    bool SetFloatSamples();
    /// Writes \p height rows of \p width samples from \p pixels (8 or 16 bit, as set), top row first.
    bool WriteRows(const void *pixels, uint32_t width, uint32_t height, uint16_t bitsPerSample);
    /// Marks the page as page \p page (from 0) of \p pages of a multi-page image.
    bool SetStackPage(uint16_t page, uint16_t pages);
    /// Ends the current page.
    bool WriteDirectory();
    /// Writes the last bytes and closes the TIFF, so that only Commit is
    /// left; may run in another thread than Commit.
    bool Finish();
    /// Finishes (when not done yet) and renames the file onto its final name.
    bool Commit();

private:
    bool Check(bool ok);
    bool SetTags(uint32_t width, uint32_t height, uint16_t bitsPerSample, const QString &description, uint16_t compression);

    AtomicFile file;
    tiff *handle = nullptr;
    bool failed = false, finished = false;
};
