#pragma once
/*!
 * \brief The one door from photon files and analyses to the user.
 *
 * Files (pt3File, ptuFile) and analyses (ImageScan, LineScan, PointScan) log,
 * drive the progress bar, read the values of the settings form and add result
 * tabs only through this interface. The main window implements it with its
 * widgets; the command-line converter implements it with a hidden form whose
 * values come from its options; tests implement it with a recording host.
 */
#include "fcs/FcsSettings.h"
#include "flim/FlimSettings.h"

#include <QString>
#include <Qt>
#include <cstdint>
#include <vector>

class QDataStream;
class QIODevice;
class QWidget;

/// The program's version: in the caption, the log, the About box and exported files.
inline const char *const FotonelVersion = "0.51";

/// Levels of a log line: the colour and the prefix word of the message.
enum MessageLevel { MessageNormal = 0, MessageError = 1, MessageWarning = 2 };

/// The ten column check boxes of the ASCII record dump, in output order.
enum class RecordColumn { Number, T3Record, nSync, Channel, dTime, Marker, TruenSync, DelayTime, TrueTime, DeltaTime };

class FotonelServices {
public:
    virtual ~FotonelServices() = default;

    // --- log, panes, progress ---
    /// One numbered line in the message log at the given level.
    virtual void AddMessage(int level, const QString &text) = 0;
    void AddMessage(const QString &text) { AddMessage(MessageNormal, text); }
    virtual void AddSummaryText(const QString &text) = 0;
    virtual void AddHeaderText(const QString &text) = 0;
    /// Progress bar, 0..100.
    virtual void SetProgress(int percent) = 0;
    /// Let pending GUI events run once (a no-op where there is no GUI).
    virtual void ProcessEvents() = 0;
    /// Page of the settings tool box: 5 image scan, 4 line scan, 3 point scan.
    virtual void SetToolBoxPage(int page) = 0;
    /// Appends a result tab (ownership passes to the host); returns its index.
    virtual int AddTab(QWidget *page, const QString &label) = 0;
    /// Makes current every tab whose page has this object name.
    virtual void ShowTab(const QString &objectName) = 0;

    // --- form values read by the analyses ---
    /// Gate minima and maxima of channels 1..4 in ns.
    virtual void GetGating(std::vector<double> &minima, std::vector<double> &maxima) = 0;
    /// Time cursors of channels 1..4 in s, multiplied by factor (1e9 gives ns).
    virtual void GetCursors(std::vector<double> &starts, std::vector<double> &ends, double factor) = 0;
    virtual double GetDtau() = 0;          ///< correlation step, µs
    virtual int GetNrbins() = 0;           ///< lags per cascade
    virtual int GetNcasc() = 0;            ///< number of cascades
    virtual double GetBinsize() = 0;       ///< export trace bin, µs
    virtual double GetTaubinsize() = 0;    ///< point scan lifetime bin, ns
    virtual double GetIStaubinsize() = 0;  ///< image scan lifetime bin, ns
    virtual double GetLStaubinsize() = 0;  ///< line scan lifetime bin, ns
    virtual int GetISImageWidth() = 0;
    virtual int GetLSImageWidth() = 0;
    virtual Qt::CheckState GetISImageWidthcheck() = 0;
    virtual Qt::CheckState GetLSImageWidthcheck() = 0;
    virtual Qt::CheckState GetRecordColumn(RecordColumn column) = 0;
    /// Error bar and fit settings of the point scan page, read once per
    /// command (a host without a Fit group answers the defaults).
    virtual fcs::FitSettings GetFitSettings() { return {}; }
    /// Phasor and decay fit settings of the Lifetime group, read once per
    /// command (a host without one answers the defaults).
    virtual flim::Settings GetLifetimeSettings() { return {}; }
    /// True when the Lifetime group asks for phasors without decay fits:
    /// photon passes then gather the phasor sums as they place photons.
    virtual bool PhasorsWithoutFits() { return false; }

    // --- set-up operations through which an analysis primes the form ---
    virtual void SetGatingRanges(double maximum, double step) = 0;          ///< ns
    /*!
     * \brief Takes the gates the form holds over to a newly opened file whose
     * delays span 0 to \p range ns in steps of \p step ns: a channel's gate
     * that spanned the whole range of the file it was set on spans the new
     * range; the others stay. Returns the channels (1..4) whose gate keeps
     * less than the new range. A host that remembers no gates returns none.
     */
    virtual std::vector<int> CarryGatesTo(double /*range*/, double /*step*/) { return {}; }
    virtual void SetCursorRanges(double start, double end) = 0;             ///< s
    virtual void SetCorrelationControls(double timeStep, double targetTime, int nrbins, int ncasc) = 0;
    virtual void SetImageTauBinSize(double value, double maximum) = 0;      ///< ns
    virtual void SetLineTauBinSize(double value, double maximum) = 0;       ///< ns
    virtual void SetPointTauBinSize(double value, double maximum) = 0;      ///< ns
    virtual void SetTraceBinSize(double value, double maximum) = 0;         ///< µs
    /// Shows \p value (ns) in the lifetime bin box of scan type \p scanType
    /// (ScanImage, ScanLine, ScanPoint), its range unchanged; returns the
    /// value the box holds (rounded to its decimals).
    virtual double ShowTauBinSize(int scanType, double value) = 0;

    /// Program version, written into exported files.
    virtual QString GetVersion() const = 0;

    // --- the program's own TIFF writer, for stacks appended in chunks ---
    /// The word that opens the description of a lifetime-resolved stack, before "=" and the version.
    static const char *const StackDescriptionKey;
    /// Writes the Latin-1 bytes of \p text, without length or terminator.
    static void WriteTextToStream(QDataStream &stream, const QString &text);
    /// One 12-byte directory entry, little-endian; a SHORT value of count 1
    /// takes the first two bytes of the value field, then two zero bytes.
    static void WriteIfdEntry(QDataStream &stream, uint16_t tag, uint16_t type, uint32_t count, uint32_t value);
    /// The description of an \p images-image stack: key and version, image
    /// and slice counts, display range, then \p extra.
    static QString StackDescription(const QString &version, uint32_t images, const QString &extra);
    /*!
     * \brief Writes to \p out everything of a little-endian, single-directory
     * TIFF up to its pixel data: header, ten directory entries and the
     * description, 134 + description length bytes. The \p images images of
     * \p width x \p height pixels follow, appended by the caller, one after
     * the other. False when a write failed (nothing is logged here; the
     * caller names the file).
     */
    bool WriteTiffHeader(QIODevice &out, uint32_t images, uint32_t width, uint32_t height,
                         uint16_t bitsPerSample, const QString &extraDescription);
};
