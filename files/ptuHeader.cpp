#include "files/ptuHeader.h"

#include "host/FotonelServices.h"
#include "files/HeaderChecks.h"
#include "files/HeaderText.h"

#include <QIODevice>
#include <QObject>
#include <QtEndian>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// Tag type codes.
constexpr uint32_t tyEmpty8 = 0xFFFF0008u;
constexpr uint32_t tyBool8 = 0x00000008u;
constexpr uint32_t tyInt8 = 0x10000008u;
constexpr uint32_t tyBitSet64 = 0x11000008u;
constexpr uint32_t tyColor8 = 0x12000008u;
constexpr uint32_t tyFloat8 = 0x20000008u;
constexpr uint32_t tyTDateTime = 0x21000008u;
constexpr uint32_t tyFloat8Array = 0x2001FFFFu;
constexpr uint32_t tyAnsiString = 0x4001FFFFu;
constexpr uint32_t tyWideString = 0x4002FFFFu;
constexpr uint32_t tyBinaryBlob = 0xFFFFFFFFu;

constexpr int kTagHeadSize = 48;

} // namespace

ptuHeader::ptuHeader(FotonelServices &mainWindow) : mainWindow(mainWindow) {}

bool ptuHeader::ReadHeader(QIODevice &stream)
{
    mainWindow.AddMessage(MessageNormal, QObject::tr("Read ptu header from file"));
    headerText.clear();
    labelWidth = 40;
    channelCount = 4;
    dimensions = 0;
    lineStartBit = lineStopBit = frameBit = 0;

    const QByteArray magic = stream.read(8);
    const QByteArray version = stream.read(8);
    if (magic.size() != 8 || version.size() != 8) {
        mainWindow.AddMessage(MessageError, QObject::tr("error reading ptu header, aborted."));
        return false;
    }
    if (!magic.startsWith("PQTTTR")) {
        mainWindow.AddMessage(MessageError, QObject::tr("Wrong Magic, this is not a PTU file."));
        return false;
    }
    headerText += QObject::tr("Tag Version").rightJustified(labelWidth, QLatin1Char(' ')) + QStringLiteral(" : ")
                  + TextUpToNul(version.constData(), 8) + QLatin1Char('\n');

    const QString incomplete = QObject::tr("Incomplete File.");
    for (;;) {
        const QByteArray head = stream.read(kTagHeadSize);
        if (head.size() != kTagHeadSize) {
            mainWindow.AddMessage(MessageError, incomplete);
            return false;
        }
        const QString ident = TextUpToNul(head.constData(), 32);
        const int32_t index = qFromLittleEndian<qint32>(head.constData() + 32);
        const uint32_t type = qFromLittleEndian<quint32>(head.constData() + 36);
        const uint64_t value = qFromLittleEndian<quint64>(head.constData() + 40);
        // Bytes still in the file: a data block may not claim more.
        const uint64_t remaining = static_cast<uint64_t>(std::max<qint64>(0, stream.size() - stream.pos()));

        const QString label = index < 0 ? ident : QStringLiteral("%1 (%2)").arg(ident).arg(index);
        headerText += label.rightJustified(labelWidth, QLatin1Char(' ')) + QStringLiteral(" :");

        switch (type) {
        case tyEmpty8:
            headerText += QStringLiteral("<empty Tag>");
            break;
        case tyBool8:
            headerText += value != 0 ? QStringLiteral("True") : QStringLiteral("False");
            break;
        case tyInt8: {
            // Shown as stored, all 64 bits; a value the program keeps in an
            // int must fit one.
            const int64_t v = static_cast<int64_t>(value);
            headerText += QString::number(v);
            const bool keptInInt = ident == QLatin1String("ImgHdr_Dimensions") ||
                                   ident == QLatin1String("ImgHdr_PixX") || ident == QLatin1String("ImgHdr_PixY");
            if (keptInInt && (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())) {
                mainWindow.AddMessage(MessageError, QObject::tr("%1 = %2 does not fit in a 32-bit number").arg(ident).arg(v));
                return false;
            }
            if (ident == QLatin1String("TTResult_NumberOfRecords")) {
                recordCount = v;
                hasRecordCount = true;
            } else if (ident == QLatin1String("TTResultFormat_TTTRRecType")) {
                if (!TakeRecordType(v))
                    return false;
                hasRecordType = true;
            } else if (ident == QLatin1String("ImgHdr_Dimensions")) {
                dimensions = static_cast<int>(v);
            } else if (ident == QLatin1String("ImgHdr_LineStart")) {
                lineStartBit = v;
            } else if (ident == QLatin1String("ImgHdr_LineStop")) {
                lineStopBit = v;
            } else if (ident == QLatin1String("ImgHdr_Frame")) {
                frameBit = v;
            } else if (ident == QLatin1String("TTResult_SyncRate")) {
                syncRate = v;
                hasSyncRate = true;
                syncPeriod = 1e9 / static_cast<double>(v);
            } else if (ident == QLatin1String("ImgHdr_PixX")) {
                imageWidth = static_cast<int>(v);
                mainWindow.AddMessage(MessageNormal, QObject::tr("ImageWidth : %1").arg(v));
            } else if (ident == QLatin1String("ImgHdr_PixY")) {
                imageHeight = static_cast<int>(v);
                mainWindow.AddMessage(MessageNormal, QObject::tr("ImageHeight : %1").arg(v));
            }
            break;
        }
        case tyBitSet64:
        case tyColor8:
        case tyTDateTime:
            break;
        case tyFloat8: {
            double v;
            std::memcpy(&v, &value, sizeof v);
            headerText += QString::number(v, 'g', 6);
            if (ident == QLatin1String("MeasDesc_Resolution")) {
                resolution = v * 1e9;  // s to ns
                hasResolution = true;
            } else if (ident == QLatin1String("MeasDesc_GlobalResolution")) {
                globalResolution = v * 1e9;
                hasGlobalResolution = true;
            } else if (ident == QLatin1String("ImgHdr_PixResol")) {
                pixelSize = v;
            }
            break;
        }
        case tyFloat8Array:
        case tyBinaryBlob:
            if (value > remaining) {
                mainWindow.AddMessage(MessageError, incomplete);
                return false;
            }
            headerText += type == tyFloat8Array
                              ? QObject::tr("<Float Array with %1 Entries>").arg(value / 8)
                              : QObject::tr("<Binary Blob contains %1 Bytes>").arg(value);
            if (!stream.seek(stream.pos() + static_cast<qint64>(value))) {
                mainWindow.AddMessage(MessageError, incomplete);
                return false;
            }
            break;
        case tyAnsiString:
        case tyWideString: {
            // Checked before the buffer is made, so a damaged length cannot
            // ask for gigabytes.
            if (value > remaining) {
                mainWindow.AddMessage(MessageError, incomplete);
                return false;
            }
            const QByteArray data = stream.read(static_cast<qint64>(value));
            if (static_cast<uint64_t>(data.size()) != value) {
                mainWindow.AddMessage(MessageError, incomplete);
                return false;
            }
            if (type == tyAnsiString) {
                headerText += TextUpToNul(data.constData(), data.size());
            } else {
                // Little-endian UTF-16 up to its first NUL unit.
                std::vector<char16_t> units(static_cast<std::size_t>(data.size() / 2));
                // An empty text has no buffer to convert into (memcpy wants one).
                if (!units.empty())
                    qFromLittleEndian<quint16>(data.constData(), static_cast<qsizetype>(units.size()), units.data());
                const auto nul = std::find(units.begin(), units.end(), u'\0');
                headerText += QString::fromUtf16(units.data(), static_cast<qsizetype>(nul - units.begin()));
            }
            break;
        }
        default:
            // Logged as an error: it is the reason the file is refused.
            mainWindow.AddMessage(MessageError, QObject::tr("Illegal Type identifier found! Broken file?"));
            return false;
        }
        headerText += QLatin1Char('\n');

        if (ident == QLatin1String("Header_End")) {
            if (!CheckRequiredTags())
                return false;
            SetMarkerMeanings();
            mainWindow.AddHeaderText(headerText);
            return true;
        }
    }
}

bool ptuHeader::TakeRecordType(int64_t type)
{
    if (RecordType::FormatOf(type, recordFormat))
        return true;
    const QString code = QStringLiteral("0x%1").arg(static_cast<qulonglong>(static_cast<uint64_t>(type)), 8, 16, QLatin1Char('0'));
    if (RecordType::IsT2(type))
        mainWindow.AddMessage(MessageError,
                              QObject::tr("This file was recorded in T2 mode with a record type this program does not "
                                          "know (%1): it cannot be read.")
                                  .arg(code));
    else
        mainWindow.AddMessage(MessageError,
                              QObject::tr("Unknown record type %1: this is not a PicoQuant T3 file this program can read.")
                                  .arg(code));
    return false;
}

void ptuHeader::SetMarkerMeanings()
{
    // A tag names a marker bit n (1-based), marker value 1 << (n - 1). A
    // meaning without its tag keeps the PicoHarp value unless a tag gave that
    // value another meaning.
    struct Tag {
        const char *name;
        int64_t bit;
        uint32_t *meaning;
        uint32_t fallback;
    } tags[] = {
        {"ImgHdr_LineStart", lineStartBit, &markerMeaning.lineStart, 1},
        {"ImgHdr_LineStop", lineStopBit, &markerMeaning.lineEnd, 2},
        {"ImgHdr_Frame", frameBit, &markerMeaning.frame, 4},
    };
    markerMeaning = MarkerMeanings();
    uint32_t taken = 0;
    for (Tag &tag : tags) {
        if (tag.bit == 0)
            continue;
        if (tag.bit < 1 || tag.bit > 4) {
            mainWindow.AddMessage(MessageWarning, QObject::tr("%1 %2 is not a marker bit (1 to 4): no marker has its meaning")
                                                      .arg(QLatin1String(tag.name))
                                                      .arg(tag.bit));
            *tag.meaning = NO_MARKER;
            continue;
        }
        const uint32_t value = 1u << (tag.bit - 1);
        if (taken & value) {
            mainWindow.AddMessage(MessageWarning, QObject::tr("The imaging tags give marker bit %1 two meanings: "
                                                              "the PicoHarp markers 1, 2 and 4 are used")
                                                      .arg(tag.bit));
            markerMeaning = MarkerMeanings();
            return;
        }
        taken |= value;
        *tag.meaning = value;
    }
    for (Tag &tag : tags)
        if (tag.bit == 0 && (taken & tag.fallback))
            *tag.meaning = NO_MARKER;
}

bool ptuHeader::CheckRequiredTags()
{
    // Without the record type the words cannot be known to be PicoHarp T3 records.
    if (!hasRecordType) {
        mainWindow.AddMessage(MessageError, QObject::tr("This is not a PicoHarp DU3 file."));
        return false;
    }
    if (!hasRecordCount || recordCount <= 0) {
        mainWindow.AddMessage(MessageError, QObject::tr("This file has zero records"));
        return false;
    }
    if (IsTimeTagFormat(recordFormat))
        return TakeTimeTagResolution();
    // Every macro time is a multiple of the sync period and every delay a
    // multiple of the resolution: neither may be missing, zero, negative or NaN.
    if (!hasSyncRate) {
        mainWindow.AddMessage(MessageError, QObject::tr("The sync rate (TTResult_SyncRate) is missing in this file"));
        return false;
    }
    if (syncRate <= 0) {
        mainWindow.AddMessage(MessageError, QObject::tr("Invalid sync rate %1 in this file").arg(syncRate));
        return false;
    }
    if (!hasResolution) {
        mainWindow.AddMessage(MessageError,
                              QObject::tr("The resolution (MeasDesc_Resolution) is missing in this file"));
        return false;
    }
    if (!(resolution > 0.0) || !std::isfinite(resolution)) {
        mainWindow.AddMessage(MessageError, QObject::tr("Invalid resolution %1 ns in this file").arg(resolution));
        return false;
    }
    return HeaderChecks::TimingUsable(mainWindow, syncPeriod, resolution, QStringLiteral("TTResult_SyncRate"),
                                      static_cast<double>(syncRate), QStringLiteral("MeasDesc_Resolution"));
}

bool ptuHeader::TakeTimeTagResolution()
{
    // A time tag counts units of the global resolution; older files may give
    // only MeasDesc_Resolution, which then is the same unit.
    if (hasGlobalResolution)
        resolution = globalResolution;
    else if (!hasResolution) {
        mainWindow.AddMessage(MessageError,
                              QObject::tr("The resolution (MeasDesc_GlobalResolution) is missing in this file"));
        return false;
    }
    if (!(resolution >= HeaderChecks::kFinestResolution) || !std::isfinite(resolution)) {
        mainWindow.AddMessage(MessageError, QObject::tr("Invalid resolution %1 ns in this file").arg(resolution));
        return false;
    }
    // No sync period: the record cursor's tick is one time-tag unit, every
    // photon's delay 0 (one lifetime bin).
    syncPeriod = resolution;
    return true;
}
