#pragma once
/*!
 * \brief Settings of the lifetime analysis (phasors, calibration, decay
 * fits), read from the window's Lifetime group or the converter's options
 * once per command.
 */
#include <string>

namespace flim {

struct Settings {
    int harmonic = 1;            ///< n of the phasor's frequency n x the repetition rate
    std::string referenceFile;   ///< measurement of known single lifetime; empty: uncalibrated
    double referenceTau = 0;     ///< ns, the reference's lifetime (0: the instrument response)
    int threshold = 50;          ///< pixels with fewer photons are NaN
    int median = 0;              ///< passes of the 3 x 3 median filter over g and s
    int components = 1;          ///< exponentials of the decay fit, 1 to 3
    std::string irfFile;         ///< measured instrument response; empty: a fitted Gaussian
    int binning = 1;             ///< 1, 3 or 5: square of pixels summed for the fit map
};

} // namespace flim
