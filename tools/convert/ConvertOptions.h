#pragma once
/*!
 * \brief The command line of fotonel-convert: every option stands for a
 * value or a command of the window's settings form.
 */
#include "fcs/FcsSettings.h"
#include "flim/FlimSettings.h"
#include "flim/Phasor.h"

#include <QStringList>
#include <QTextStream>

#include <array>
#include <optional>
#include <vector>

struct ChannelWindow {
    int channel;   // 1..4
    double low;
    double high;
};

struct Options {
    std::vector<ChannelWindow> gates;    // ns
    std::vector<ChannelWindow> cursors;  // s
    int width = 0;                       // 0: the file's own width
    double tauBin = 0;                   // 0: the file's resolution
    int exportType = -1;                 // index of the form's export type; -1: no image export
    int bitDepth = 1;                    // index of the form's bit depth: 16 bit, as the form starts
    bool decay = false;                  // lifetime-resolved stack or position-delay histogram
    bool ome = false;                    // image and line scans: NAME.ome.tif
    bool omeFlim = false;                // image scans: NAME_flim.ome.tif
    bool photonHdf5 = false;             // every file: NAME.h5
    bool json = false;                   // one JSON object per file on standard output
    bool records = false;                // the ASCII record table
    std::array<bool, 10> columns{};      // its columns, in RecordColumn order
    bool correlate = false;              // point measurements: every correlation curve and its file
    double dtau = 0;                     // µs; 0: the form's
    int steps = 0;                       // lags per cascade; 0: the form's
    int cascades = 0;                    // 0: the form's
    bool trace = false;                  // point measurements: trace text and binary files
    double traceBin = 0;                 // µs; 0: the form's
    bool histogram = false;              // point measurements: lifetime histogram text file
    int segments = 0;                    // error bar segments; 0: not asked for
    bool fit = false;                    // point measurements: model fits of every curve
    fcs::FitSettings fitSettings;        // model, parameters, range, kappa, w0 for the Fit group
    bool phasor = false;                 // phasors and their lifetime maps
    bool fitDecay = false;               // decay fit and fit map
    flim::Settings lifetime;             // the Lifetime group's values
    bool selectionFit = false;           // the fit of the pixels inside phasorCursor
    flim::PhasorCursor phasorCursor;     // g, s, radius
    QStringList files;
};

/// The options of \p arguments (without the program name); on a usage
/// error, or for --help and --version, prints to \p out, sets \p exitCode
/// (2 for a usage error, 0 otherwise) and returns nothing.
std::optional<Options> ParseOptions(const QStringList &arguments, QTextStream &out, int &exitCode);
