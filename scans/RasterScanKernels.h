#pragma once
/*!
 * \brief The vector forms of the raster scans' photon runs
 * (RasterScan::PlaceRun), in RasterScanKernels.cpp: eight records at a time
 * with AVX2 or AVX-512, placing the very photons PlaceRunScalar places.
 */
#include "scans/RasterScan.h"

struct RasterScanKernels {
    /*!
     * \brief Places the photons of records \p i .. \p end - 1 eight at a time
     * while no special record comes and eight records remain, in the form
     * pass.vector names, when the run's table and times allow one (placed
     * channels few and low, gates ranges of dtime values, every time of the
     * run inside every placed channel's cursors); returns the first record
     * left for PlaceRunScalar (\p i when no form takes the run).
     */
    template <class Format>
    static uint32_t PlaceGroups(const RasterScan::PassConstants &pass, uint32_t i, uint32_t end,
                                uint64_t overflowOffset, RasterScan::RunState &run);
};
