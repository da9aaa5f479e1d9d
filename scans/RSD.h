#pragma once
/*!
 * \brief The analysis of one opened file: image scan, line scan or point scan.
 *
 * The main window holds one current analysis, made for the current file, and
 * drives it only through these operations. The flags make repeated calls
 * cheap; clearing one from outside forces that step to run again with the
 * form's current values.
 */
class FotonelServices;
class pqFile;

class RSD {
public:
    virtual ~RSD() = default;

    /// Stores both references; clears gathered and reconstructed, sets resetCursors.
    virtual void Init(FotonelServices &mainWindow, pqFile &file);
    /// Sorts the photons that pass gates and cursors into the result arrays.
    virtual void ReconstructImages();
    /// Derives the geometry from the file, sizes the arrays and primes the form.
    virtual void GatherInformation();
    /// Export type: 0 TIFF stack, 1 TIFF images, 2 raw; bit depth: 0 8 bit, 1 16 bit.
    virtual void WriteImages(int exportType, int bitDepth);
    /// Builds the result tabs.
    virtual void CreateTabs();

    bool gathered = false;       ///< geometry derived, arrays sized
    bool reconstructed = false;  ///< arrays hold the result of the current gates and cursors
    bool resetCursors = true;    ///< next reconstruction sets the cursor ranges from the data

protected:
    FotonelServices *mainWindow = nullptr;
    pqFile *file = nullptr;
};
