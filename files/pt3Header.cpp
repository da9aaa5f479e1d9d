#include "files/pt3Header.h"

#include "host/FotonelServices.h"
#include "files/HeaderChecks.h"
#include "files/HeaderText.h"

#include <QIODevice>
#include <QObject>
#include <QtEndian>

#include <cmath>
#include <cstring>

namespace {

// Offsets of the fixed part of the header; the imaging items follow at 728.
constexpr int kIdentifierSize = 16;
constexpr int kVersionEnd = 22;
constexpr int kFixedSize = 724;       // up to and including the number of records
constexpr int kImagingItemsOffset = 728;

/// Little-endian fields of the header bytes; every offset is inside the buffer.
class FieldReader {
public:
    explicit FieldReader(const QByteArray &bytes) : b(bytes) {}
    QString Text(int offset, int size) const
    {
        return TextUpToNul(b.constData() + offset, size);
    }
    int32_t Int(int offset) const { return qFromLittleEndian<qint32>(b.constData() + offset); }
    float Float(int offset) const
    {
        const uint32_t bits = qFromLittleEndian<quint32>(b.constData() + offset);
        float v;
        std::memcpy(&v, &bits, sizeof v);
        return v;
    }

private:
    const QByteArray &b;
};

QString Line(const QString &label, const QString &value, const char *unit = nullptr)
{
    return LabelValueLine(label, unit != nullptr ? value + QLatin1Char(' ') + QLatin1String(unit) : value);
}

QString Dec(int32_t v) { return QString::number(v); }

} // namespace

pt3Header::pt3Header(FotonelServices &mainWindow) : mainWindow(mainWindow) {}

bool pt3Header::ReadHeader(QIODevice &stream)
{
    mainWindow.AddMessage(MessageNormal, QObject::tr("Read header from file"));
    const QString incomplete = QObject::tr("The header of this file is incomplete");

    QByteArray bytes = stream.read(kFixedSize);
    const int got = bytes.size();
    bytes.resize(kFixedSize + 4);
    std::memset(bytes.data() + got, 0, static_cast<std::size_t>(kFixedSize + 4 - got));
    const FieldReader f(bytes);

    if (got < kIdentifierSize) {
        mainWindow.AddMessage(MessageError, incomplete);
        return false;
    }
    identifier = f.Text(0, 16);
    if (identifier != QLatin1String("PicoHarp 300")) {
        mainWindow.AddMessage(MessageError, QObject::tr("This is not a PicoHarp 300 file"));
        return false;
    }
    if (got < kVersionEnd) {
        mainWindow.AddMessage(MessageError, incomplete);
        return false;
    }
    formatVersion = f.Text(16, 6);
    if (formatVersion != QLatin1String("2.0")) {
        mainWindow.AddMessage(MessageError, QObject::tr("This program is for version 2.0 only"));
        return false;
    }
    if (got < kFixedSize) {
        mainWindow.AddMessage(MessageError, incomplete);
        return false;
    }

    creatorName = f.Text(22, 18);
    creatorVersion = f.Text(40, 12);
    fileTime = f.Text(52, 18);
    lineEnd = f.Text(70, 2);
    comment = f.Text(72, 256);
    numberOfCurves = f.Int(328);
    bitsPerRecord = f.Int(332);
    routingChannels = f.Int(336);
    numberOfBoards = f.Int(340);
    activeCurve = f.Int(344);
    measurementMode = f.Int(348);
    subMode = f.Int(352);
    rangeNo = f.Int(356);
    offset = f.Int(360);
    acquisitionTime = f.Int(364);
    stopAt = f.Int(368);
    stopOnOverflow = f.Int(372);
    restart = f.Int(376);
    displayLinLog = f.Int(380);
    displayTimeAxisFrom = f.Int(384);
    displayTimeAxisTo = f.Int(388);
    displayCountAxisFrom = f.Int(392);
    displayCountAxisTo = f.Int(396);
    // The file interleaves (map-to, show) per curve and (start, step, end) per parameter.
    for (int i = 0; i < 8; ++i) {
        displayCurveMapTo[i] = f.Int(400 + 8 * i);
        displayCurveShow[i] = f.Int(404 + 8 * i);
    }
    for (int i = 0; i < 3; ++i) {
        paramStart[i] = f.Float(464 + 12 * i);
        paramStep[i] = f.Float(468 + 12 * i);
        paramEnd[i] = f.Float(472 + 12 * i);
    }
    repeatMode = f.Int(500);
    repeatsPerCurve = f.Int(504);
    repeatTime = f.Int(508);
    repeatWaitTime = f.Int(512);
    scriptName = f.Text(516, 20);
    hardwareIdentifier = f.Text(536, 16);
    hardwareVersion = f.Text(552, 8);
    hardwareSerial = f.Int(560);
    syncDivider = f.Int(564);
    cfdZeroCross0 = f.Int(568);
    cfdLevel0 = f.Int(572);
    cfdZeroCross1 = f.Int(576);
    cfdLevel1 = f.Int(580);
    resolution = f.Float(584);
    routerModelCode = f.Int(588);
    routerEnabled = f.Int(592);
    for (int c = 0; c < 4; ++c) {
        const int at = 596 + 24 * c;
        routerInputType[c] = f.Int(at);
        routerInputLevel[c] = f.Int(at + 4);
        routerInputEdge[c] = f.Int(at + 8);
        routerCfdPresent[c] = f.Int(at + 12);
        routerCfdLevel[c] = f.Int(at + 16);
        routerCfdZeroCross[c] = f.Int(at + 20);
    }
    externalDevices = f.Int(692);
    reserved1 = f.Int(696);
    reserved2 = f.Int(700);
    countRate0 = f.Int(704);
    countRate1 = f.Int(708);
    stopAfter = f.Int(712);
    stopReason = f.Int(716);
    numberOfRecords = f.Int(720);

    if (numberOfRecords <= 0) {
        mainWindow.AddMessage(MessageError, QObject::tr("This file has zero records"));
        return false;
    }

    QByteArray sizeBytes = stream.read(4);
    if (sizeBytes.size() != 4) {
        mainWindow.AddMessage(MessageError, incomplete);
        return false;
    }
    imagingHeaderSize = qFromLittleEndian<qint32>(sizeBytes.constData());
    // The items must fit in the file before anything is allocated for them.
    const qint64 remaining = stream.size() - kImagingItemsOffset;
    if (imagingHeaderSize < 0 || static_cast<qint64>(imagingHeaderSize) * 4 > remaining) {
        mainWindow.AddMessage(MessageError,
                              QObject::tr("Invalid imaging header size %1 in this file").arg(imagingHeaderSize));
        return false;
    }
    imagingHeader.assign(static_cast<std::size_t>(imagingHeaderSize), 0);
    if (imagingHeaderSize > 0) {
        const QByteArray items = stream.read(static_cast<qint64>(imagingHeaderSize) * 4);
        if (items.size() != imagingHeaderSize * 4) {
            mainWindow.AddMessage(MessageError, incomplete);
            return false;
        }
        for (int i = 0; i < imagingHeaderSize; ++i)
            imagingHeader[static_cast<std::size_t>(i)] = qFromLittleEndian<qint32>(items.constData() + 4 * i);
    }
    // Items 6 and 7 are the pixels per line and the lines per frame; a
    // shorter imaging header describes no image.
    imageWidth = imagingHeaderSize > 7 ? imagingHeader[6] : 0;
    imageHeight = imagingHeaderSize > 7 ? imagingHeader[7] : 0;

    // Every macro time is a multiple of the sync period and every delay a
    // multiple of the resolution: neither may be zero, negative or NaN.
    if (countRate0 <= 0) {
        mainWindow.AddMessage(MessageError, QObject::tr("Invalid sync rate %1 in this file").arg(countRate0));
        return false;
    }
    if (!(resolution > 0.0f) || !std::isfinite(resolution)) {
        mainWindow.AddMessage(MessageError,
                              QObject::tr("Invalid resolution %1 ns in this file").arg(static_cast<double>(resolution)));
        return false;
    }
    const double period = 1e9 / static_cast<double>(countRate0);
    if (!HeaderChecks::TimingUsable(mainWindow, period, static_cast<double>(resolution), QStringLiteral("Count Rate (Ch0)"),
                                    countRate0, QStringLiteral("Resolution")))
        return false;
    syncPeriod = period;
    channelCount = 4;

    mainWindow.AddHeaderText(HeaderText());
    return true;
}

QString pt3Header::HeaderText() const
{
    QString t;
    t += Line(QObject::tr("Identifier"), identifier);
    t += Line(QObject::tr("Format Version"), formatVersion);
    t += Line(QObject::tr("Creator Name"), creatorName);
    t += Line(QObject::tr("Creator Version"), creatorVersion);
    t += Line(QObject::tr("File Time"), fileTime);
    t += Line(QObject::tr("Comment"), comment);
    t += Line(QObject::tr("Number of Curves"), Dec(numberOfCurves));
    t += Line(QObject::tr("Bits / Record"), Dec(bitsPerRecord));
    t += Line(QObject::tr("Routing Channels"), Dec(routingChannels));
    t += Line(QObject::tr("Number of Boards"), Dec(numberOfBoards));
    t += Line(QObject::tr("Active Curve"), Dec(activeCurve));
    t += Line(QObject::tr("Measurement Mode"), Dec(measurementMode));
    t += Line(QObject::tr("Sub-Mode"), Dec(subMode));
    t += Line(QObject::tr("Range No."), Dec(rangeNo));
    t += Line(QObject::tr("Offset"), Dec(offset), "ns");
    // The acquisition time is kept in milliseconds (a 30 s measurement holds 30000).
    t += Line(QObject::tr("Acquisition Time"), Dec(acquisitionTime), "ms");
    t += Line(QObject::tr("Stop on Overflow"), Dec(stopOnOverflow));
    t += Line(QObject::tr("Stop At"), Dec(stopAt), "counts");
    t += Line(QObject::tr("Restart"), Dec(restart));
    t += Line(QObject::tr("Display Lin/Log"), Dec(displayLinLog));
    t += Line(QObject::tr("Display Time Axis From"), Dec(displayTimeAxisFrom), "ns");
    t += Line(QObject::tr("Display Time Axis To"), Dec(displayTimeAxisTo), "ns");
    t += Line(QObject::tr("Display Count Axis From"), Dec(displayCountAxisFrom));
    t += Line(QObject::tr("Display Count Axis To"), Dec(displayCountAxisTo));
    t += Line(QObject::tr("Repeat Mode"), Dec(repeatMode));
    t += Line(QObject::tr("Repeat / Curve"), Dec(repeatsPerCurve));
    t += Line(QObject::tr("Repeat Time"), Dec(repeatTime));
    t += Line(QObject::tr("Repeat Wait Time"), Dec(repeatWaitTime));
    t += Line(QObject::tr("Script Name"), scriptName);
    t += Line(QObject::tr("Hardware Identifier"), hardwareIdentifier);
    t += Line(QObject::tr("Hardware Version"), hardwareVersion);
    t += Line(QObject::tr("HW Serial Number"), Dec(hardwareSerial));
    t += Line(QObject::tr("Sync Divider"), Dec(syncDivider));
    auto mV1 = [](int32_t v) { return QStringLiteral("%1").arg(static_cast<double>(v), 5, 'f', 1); };
    t += Line(QObject::tr("CFDZeroCross0"), mV1(cfdZeroCross0), "mV");
    t += Line(QObject::tr("CFDLevel0"), mV1(cfdLevel0), "mV");
    t += Line(QObject::tr("CFDZeroCross1"), mV1(cfdZeroCross1), "mV");
    t += Line(QObject::tr("CFDLevel1"), mV1(cfdLevel1), "mV");
    t += Line(QObject::tr("Resolution"), QString::number(static_cast<double>(resolution), 'f', 6), "ns");
    t += Line(QObject::tr("Router Model Code"), Dec(routerModelCode));
    t += Line(QObject::tr("Router Enabled"), Dec(routerEnabled));
    if (routerModelCode > 0) {
        auto mV4w = [](int32_t v) { return QStringLiteral("%1").arg(static_cast<double>(v), 4, 'f', 4); };
        for (int c = 0; c < 4; ++c) {
            const QString rt = QStringLiteral("Rt Chan%1 ").arg(c + 1);
            t += Line(rt + QObject::tr("Input Type"), Dec(routerInputType[c]));
            t += Line(rt + QObject::tr("Input Level"), mV4w(routerInputLevel[c]), "mV");
            t += Line(rt + QObject::tr("Input Edge"), Dec(routerInputEdge[c]));
            t += Line(rt + QObject::tr("CFD Present"), Dec(routerCfdPresent[c]));
            t += Line(rt + QObject::tr("CFD Level"), mV4w(routerCfdLevel[c]), "mV");
            t += Line(rt + QObject::tr("CFD Zero Cross"),
                      QString::number(static_cast<double>(routerCfdZeroCross[c]), 'f', 4), "mV");
        }
    }
    t += Line(QObject::tr("External Devices"), Dec(externalDevices));
    t += Line(QObject::tr("Reserved1"), Dec(reserved1));
    t += Line(QObject::tr("Reserved2"), Dec(reserved2));
    t += Line(QObject::tr("Count Rate (Ch0)"), Dec(countRate0), "Hz");
    t += Line(QObject::tr("Count Rate (Ch1)"), Dec(countRate1), "Hz");
    t += Line(QObject::tr("Stop After"), Dec(stopAfter), "ms");
    t += Line(QObject::tr("Stop Reason"), Dec(stopReason));
    t += Line(QObject::tr("Number Of Records"), Dec(numberOfRecords));
    t += Line(QObject::tr("Sync Rate"), Dec(countRate0), "Hz");
    t += Line(QObject::tr("Sync Period"), QString::number(syncPeriod, 'f', 6), "ns");
    t += Line(QObject::tr("Imaging Header Size"), Dec(imagingHeaderSize), "items");
    for (std::size_t i = 0; i < imagingHeader.size(); ++i)
        t += QObject::tr("Imaging Header item").rightJustified(22, QLatin1Char(' ')) + QLatin1Char(' ')
             + QString::number(i).rightJustified(2, QLatin1Char(' ')) + QStringLiteral(" : ")
             + Dec(imagingHeader[i]) + QLatin1Char('\n');
    return t;
}
