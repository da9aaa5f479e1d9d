#pragma once
/*!
 * \brief The pixels chosen with the phasor plot's circular cursor and the
 * reconvolution fit of their summed decay: what the Phasor tab shows as the
 * cursor moves, and NAME_decayfit_selection_chN.txt, which the tab's "Save
 * Selection Fit" button and the converter's --phasor-cursor write with the
 * same bytes for the same cursor.
 *
 * The decays summed are the per-pixel decays of the fit map (its bins and
 * measured response), fitted with the analysis's number of components, so
 * a selection needs both phasors and a decay fit of an image or line scan.
 */
#include "flim/DecayFit.h"
#include "flim/Phasor.h"

#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

class FotonelServices;
struct LifetimeChannel;
struct LifetimeResults;

struct PhasorSelection {
    flim::PhasorCursor cursor;
    std::vector<bool> inside;  ///< per pixel
    uint64_t pixels = 0;       ///< pixels inside
    uint64_t photons = 0;      ///< their photons, as counted for their phasors
    flim::Decay decay;         ///< their decays summed, on the map's bins
    flim::DecayFitResult fit;  ///< not ok, with its error, when there is nothing to fit
};

/// True when \p channel holds per-pixel decays to sum (an image or line scan with a decay fit).
bool HasSelectionDecays(const LifetimeChannel &channel);

/*!
 * \brief The pixels of channel \p channel of \p results inside \p cursor,
 * their summed decay and its fit. Without per-pixel decays or with no pixel
 * inside, fit.ok is false and fit.error says why.
 */
PhasorSelection SelectAndFit(const LifetimeResults &results, const LifetimeChannel &channel,
                             const flim::PhasorCursor &cursor);

/// The text of the selection's file: the cursor, the phasors it was set on, what it chose, then the fit table.
QString SelectionFitText(const LifetimeResults &results, const LifetimeChannel &channel,
                         const PhasorSelection &selection);

/// NAME_decayfit_selection_chN.txt for the export base \p exportBase and the 0-based \p channel.
QString SelectionFitName(const QString &exportBase, uint32_t channel);

/*!
 * \brief Selects, fits and writes the selection's file of \p channel
 * beside the other lifetime files, logging it as they do. False, after an
 * error line and with no file written, when nothing is selected or the fit
 * fails.
 */
bool WriteSelectionFit(FotonelServices &host, const QString &exportBase, const LifetimeResults &results,
                       const LifetimeChannel &channel, const flim::PhasorCursor &cursor);
