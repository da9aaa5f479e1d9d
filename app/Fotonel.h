#pragma once
/*!
 * \brief The main window: owns the settings form, the open photon file and
 * the analysis made from it, and is the only way from both to the user.
 *
 * The definition is split by concern: construction, actions, services and
 * tabs (Fotonel.cpp), the message log and panes (FotonelLog.cpp), the settings
 * file (FotonelSettings.cpp), the parameter controls (FotonelControls.cpp), the
 * open workflow (FotonelOpen.cpp) and the commands (FotonelCommands.cpp).
 */
#include "app/FormHost.h"

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <functional>
#include <memory>
#include <vector>

class QDataStream;
class QDragEnterEvent;
class QDropEvent;
class QCloseEvent;
class BusyGuard;
class QAbstractSpinBox;
class RSD;
class pqFile;

namespace Ui {
class Fotonel;
}

class Fotonel : public QMainWindow, public FormHost {
    Q_OBJECT

public:
    explicit Fotonel(QWidget *parent = nullptr);
    ~Fotonel() override;
    using FotonelServices::AddMessage;

    // --- log, panes, progress, tabs ---
    void AddMessage(int level, const QString &text) override;
    void AddSummaryText(const QString &text) override;
    void AddHeaderText(const QString &text) override;
    void SetProgress(int percent) override;
    void ProcessEvents() override;
    void SetToolBoxPage(int page) override;
    int AddTab(QWidget *page, const QString &label) override;
    void ShowTab(const QString &objectName) override;
    QString GetVersion() const override { return version; }
    /// The window opens files before anyone asks for lifetimes: its
    /// reconstruction gathers no phasor sums (they would cost every open a
    /// third of the pass); the Lifetimes button takes them in its own walk.
    bool PhasorsWithoutFits() override { return false; }

    /// Reset gating: every gate minimum to \p minimum, then every maximum to \p maximum (ns).
    void SetGatingValues(double minimum, double maximum);

    /// Reads \p fileName with the reader of its suffix and converts it into its
    /// analysis; builds the result tabs when \p showTabs. True when the file was read.
    bool OpenFile(const QString &fileName, bool showTabs);
    /// Makes the analysis of the open file and reconstructs it.
    void ConvertFile();

    /// Start-up announcement: sets the version, logs "Version %1" and puts it in the caption.
    void SetVersion(const QString &newVersion);

    bool LoadSettings(const QString &settingsFile);
    bool SaveSettings(const QString &settingsFile);

    /// The HTML of log line number \p number at \p level.
    static QString MessageHtml(unsigned int number, int level, const QString &text);
    /// The HTML of a monospace pane text: line breaks and spaces kept.
    static QString PaneHtml(const QString &text);
    /// The settings file, in the working directory.
    static constexpr const char *SettingsFileName = "lastsettings.dat";
    /// A gate value as the settings file holds it: 50, 12.5, 1e-05.
    static QByteArray SettingsNumber(double value);
    /// The warning given when a command is refused because another one runs.
    static QString BusyText();

    std::unique_ptr<Ui::Fotonel> ui;
    std::unique_ptr<pqFile> file;
    std::unique_ptr<RSD> scan;      ///< made for file; destroyed before it
    QString openDir;
    QString saveDir;
    QString fileName;               ///< full path of the file last opened successfully
    QString version;
    unsigned int messageCount = 0;  ///< log lines since start-up or the last clear
    /// Lines the log keeps; older ones are dropped, the numbering goes on.
    static constexpr int kLogLines = 10000;

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    /// While a command runs the window stays: it closes when the command has finished.
    void closeEvent(QCloseEvent *event) override;

private slots:
    void on_binsize_editingFinished();
    void on_LSsaveHistogramPointScan_clicked();
    void on_LSApplyLineWiidth_clicked();
    void on_Ch4_Cursor_Max_editingFinished();
    void on_Ch4_Cursor_Min_editingFinished();
    void on_Ch3_Cursor_Max_editingFinished();
    void on_Ch3_Cursor_Min_editingFinished();
    void on_Ch2_Cursor_Max_editingFinished();
    void on_Ch2_Cursor_Min_editingFinished();
    void on_Ch1_Cursor_Max_editingFinished();
    void on_Ch1_Cursor_Min_editingFinished();
    void on_ResetCursorButton_clicked();
    void on_ApplyCursorButton_clicked();
    void on_tmaxXCF_editingFinished();
    void on_ncasc_valueChanged(int);
    void on_nrbins_valueChanged(int);
    void on_dtau_valueChanged(double);
    void on_ncasc_editingFinished();
    void on_nrbins_editingFinished();
    void on_dtau_editingFinished();
    void on_saveHistogramPointScan_clicked();
    void on_saveXCFPointScan_clicked();
    void on_saveTracePointScan_clicked();
    void on_ResetGatingButton_clicked();
    void on_ISExportHistogram_clicked();
    void on_ApplyGatingButton_clicked();
    void on_Ch4_Gating_Max_valueChanged(double);
    void on_Ch3_Gating_Max_valueChanged(double);
    void on_Ch2_Gating_Max_valueChanged(double);
    void on_Ch1_Gating_Max_valueChanged(double);
    void on_Ch4_Gating_Min_valueChanged(double);
    void on_Ch3_Gating_Min_valueChanged(double);
    void on_Ch2_Gating_Min_valueChanged(double);
    void on_Ch1_Gating_Min_valueChanged(double);
    void on_ISHistogram_clicked();
    void on_LSHistogram_clicked();
    void on_binData_clicked();
    void on_xcfButton_clicked();
    /// The Fit group's button: error bars, fits, their files and the correlation tab.
    void RunFit();
    /// The Lifetime group's button: phasors and decay fits of the open scan, their files and tabs.
    void RunLifetimes();
    void on_WriteRecords_clicked();
    void on_SaveFrames_clicked();
    void on_actionClear_message_box_triggered();
    void on_tauButton_clicked();
    // Reached from actions and the tab bar, connected in the constructor (no
    // form widget carries these names).
    void ShowAbout();
    void ExportData();
    /// File > Export OME-TIFF: NAME.ome.tif of an image or line scan.
    void ExportOmeTiff();
    /// File > Export FLIM OME-TIFF: NAME_flim.ome.tif of an image scan.
    void ExportFlimOmeTiff();
    /// File > Export Photon-HDF5: NAME.h5 of any converted file.
    void ExportPhotonHdf5();
    void Browse();
    void CloseTab(int index);

private:
    Fotonel(QWidget *parent, std::unique_ptr<Ui::Fotonel> form);
    void SetUpActions();
    void SetUpPictureButtons();
    /// Stretch of the log and the tabs, spin boxes as wide as their values.
    void SetUpLayout();
    /// Makes \p box at least as wide as the text it shows.
    void FitSpinBox(QAbstractSpinBox *box);
    /// Widens the settings column to the widest page of the tool box when the form's width cuts a text.
    void FitSettingsColumn();
    /// True (after a warning line) while another command is running.
    bool RefuseWhenBusy();
    /// Marks a command as running until the guard goes; then WhenIdle.
    BusyGuard Busy();
    /// After the outermost command: frees parked pages, carries out a close asked for meanwhile.
    void WhenIdle();
    /// OpenFile's steps, for a caller that already holds the busy guard.
    bool OpenFileNow(const QString &fileName, bool showTabs);
    /// Removes the tab at \p index and frees its page, or parks the page until
    /// the running command has finished.
    void RemoveTab(int index);
    void FreeParkedPages();
    /// Removes every result tab; the Header and Summary tabs come back first
    /// if the user had closed them.
    void RemoveResultTabs();
    /// True when a tab's page has this object name.
    bool HasTab(const QString &objectName) const;
    /// After a new reconstruction: builds the analysis's tabs again (with the
    /// correlation when one was shown) and keeps the tab that was current.
    void RebuildTabs();
    /// Enables each command for the open file's kind of scan; a disabled one
    /// says why in its tool tip.
    void UpdateCommands();
    /// Runs \p work as one command: refused while another one runs.
    void RunCommand(const std::function<void()> &work);
    /// The analysis as \p Scan when the open file is of \p type and (with
    /// \p reconstructed) has been reconstructed; else null.
    template <class Scan> Scan *ScanOf(int type, bool reconstructed = true) const;
    /// RunCommand on the reconstructed analysis of \p type; nothing without one.
    template <class Scan, class Work> void RunOn(int type, Work work);
    /// The image export of the current analysis, without the busy check.
    void ExportImages();
    /// The name for "could not convert %1": the file last tried.
    QString ConvertName() const;

    int busyDepth = 0;
    bool closeRequested = false;
    bool columnFitPending = false;  ///< a FitSettingsColumn is queued  ///< the window was closed while a command ran
    QString triedName;  ///< name given to the last OpenFile
    bool fileRead = false;  ///< file's records were read (a scan pattern need not be known)
    std::vector<QPointer<QWidget>> parkedPages;
};
