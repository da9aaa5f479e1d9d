#pragma once
/*!
 * \brief Settings of the correlation error bars and model fits, read from
 * the window's Fit group or the converter's options once per command.
 */
#include "fcs/FcsModel.h"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace fcs {

/// How a parameter enters the fit.
struct ParameterSetting {
    enum State { Default, Free, Fixed };
    State state = Default;  ///< Default: free, except kappa (fixed at the settings' kappa)
    /// Start value (Free, Default) or fixed value (Fixed), physical units;
    /// NaN: a start guessed from the curve.
    double value = std::numeric_limits<double>::quiet_NaN();
};

struct FitSettings {
    /// Segments of equal duration for the error bars; 1 turns them off.
    int segments = 10;
    /// Segments whose count rate lies more than this factor above or below
    /// the median are left out; 0 keeps every segment.
    double rejectFactor = 0;
    Model model = Model::Diffusion3D;
    std::array<ParameterSetting, ParameterCount> parameters{};
    double kappa = 5;   ///< structure parameter z0 / w0, the start or fixed value of kappa
    double w0 = 0;      ///< µm, focal radius; 0: no derived D, V_eff, concentration
    /// Lag range in ms, inclusive, by bin centre; NaN: from the first bin to
    /// the last bin whose error is not 0.
    double rangeFrom = std::numeric_limits<double>::quiet_NaN();
    double rangeTo = std::numeric_limits<double>::quiet_NaN();

    /// True when parameter \p p is fitted.
    bool IsFree(std::size_t p) const
    {
        return parameters[p].state == ParameterSetting::Free
               || (parameters[p].state == ParameterSetting::Default && p != Kappa);
    }
};

} // namespace fcs
