#pragma once
/*!
 * \brief The binary header of a PicoHarp 300 .pt3 file (format version 2.0):
 * read field by field, checked, rendered as aligned text for the Header pane
 * and the .hdr file, and asked for the constants the analyses need.
 */
#include <QString>
#include <cstdint>
#include <vector>

class FotonelServices;
class QIODevice;

class pt3Header {
public:
    explicit pt3Header(FotonelServices &mainWindow);

    /// Reads and checks the header from the start of \p stream, leaving it at
    /// the first record. Shows the header text on success; logs the reason
    /// and returns false otherwise.
    bool ReadHeader(QIODevice &stream);
    /// The header as lines "label : value", labels right-aligned in 25 characters.
    QString HeaderText() const;

    // Text fields, up to their first NUL.
    QString identifier, formatVersion, creatorName, creatorVersion, fileTime, lineEnd, comment;
    int32_t numberOfCurves = 0, bitsPerRecord = 0, routingChannels = 0, numberOfBoards = 0;
    int32_t activeCurve = 0, measurementMode = 0, subMode = 0, rangeNo = 0;
    int32_t offset = 0;             ///< ns
    int32_t acquisitionTime = 0;    ///< ms
    int32_t stopAt = 0, stopOnOverflow = 0, restart = 0, displayLinLog = 0;
    int32_t displayTimeAxisFrom = 0, displayTimeAxisTo = 0;   ///< ns
    int32_t displayCountAxisFrom = 0, displayCountAxisTo = 0;
    int32_t displayCurveMapTo[8] = {}, displayCurveShow[8] = {};
    float paramStart[3] = {}, paramStep[3] = {}, paramEnd[3] = {};
    int32_t repeatMode = 0, repeatsPerCurve = 0, repeatTime = 0, repeatWaitTime = 0;
    QString scriptName, hardwareIdentifier, hardwareVersion;
    int32_t hardwareSerial = 0, syncDivider = 0;
    int32_t cfdZeroCross0 = 0, cfdLevel0 = 0, cfdZeroCross1 = 0, cfdLevel1 = 0;  ///< mV
    float resolution = 0;           ///< ns per dtime bin
    int32_t routerModelCode = 0, routerEnabled = 0;
    /// Per router channel 1..4: input type, input level (mV), input edge,
    /// CFD present, CFD level (mV), CFD zero cross (mV).
    int32_t routerInputType[4] = {}, routerInputLevel[4] = {}, routerInputEdge[4] = {};
    int32_t routerCfdPresent[4] = {}, routerCfdLevel[4] = {}, routerCfdZeroCross[4] = {};
    int32_t externalDevices = 0, reserved1 = 0, reserved2 = 0;
    int32_t countRate0 = 0;         ///< Hz, the sync rate
    int32_t countRate1 = 0;         ///< Hz
    int32_t stopAfter = 0;          ///< ms
    int32_t stopReason = 0;
    int32_t numberOfRecords = 0;
    int32_t imagingHeaderSize = 0;  ///< items
    std::vector<int32_t> imagingHeader;

    int imageWidth = 0;             ///< imaging item 6; 0 when there are fewer than 8 items
    int imageHeight = 0;            ///< imaging item 7
    int channelCount = 0;           ///< 4 once a header was accepted
    double syncPeriod = -1.0;       ///< ns; -1 until a header was accepted

private:
    FotonelServices &mainWindow;
};
