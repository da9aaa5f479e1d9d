#include "app/Fotonel.h"

#include "ui_Fotonel.h"

#include <QDoubleSpinBox>
#include <QFile>
#include <QSaveFile>
#include <cmath>
#include <locale>
#include <sstream>
#include <string>

namespace {

/// The leading decimal number of \p text, 0 when it does not start with one.
double LeadingNumber(const QString &text)
{
    std::istringstream in(text.toLatin1().toStdString());
    in.imbue(std::locale::classic());
    double value = 0;
    if (!(in >> value))
        return 0;
    return value;
}

bool IsSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

/// Splits a settings line into its first two whitespace-separated words and
/// the rest after the second one.
void SplitLine(const QByteArray &line, QByteArray &key, QByteArray &separator, QByteArray &rest)
{
    int i = 0;
    const int n = line.size();
    auto word = [&](QByteArray &into) {
        while (i < n && IsSpace(line[i]))
            ++i;
        const int start = i;
        while (i < n && !IsSpace(line[i]))
            ++i;
        into = line.mid(start, i - start);
    };
    word(key);
    word(separator);
    rest = line.mid(i);
}

} // namespace

QByteArray Fotonel::SettingsNumber(double value)
{
    // As a standard stream writes a double by default: at most six significant
    // digits, no trailing zeros, exponent form when very small or large.
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << value;
    return QByteArray::fromStdString(out.str());
}

bool Fotonel::SaveSettings(const QString &settingsFile)
{
    // Written under a temporary name and renamed over the old file only when
    // complete: a full disk or a crash leaves the previous settings in place.
    QSaveFile out(settingsFile);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text)) {
        AddMessage(MessageWarning, tr("opening %1").arg(settingsFile));
        return false;
    }
    QByteArray text;
    text += "opendir = " + openDir.toLatin1() + '\n';
    text += "savedir = " + saveDir.toLatin1() + '\n';
    for (int channel = 1; channel <= 4; ++channel) {
        text += "Ch" + QByteArray::number(channel) + "GatingMin = "
                + SettingsNumber(controls.gateMinimum(channel)->value()) + '\n';
        text += "Ch" + QByteArray::number(channel) + "GatingMax = "
                + SettingsNumber(controls.gateMaximum(channel)->value()) + '\n';
    }
    // The delay range and step (ns) of the file the gates were set on: a gate
    // that spans that range follows the range of the next file (0: not known).
    text += "GatingRange = " + SettingsNumber(controls.gateRange) + '\n';
    text += "GatingStep = " + SettingsNumber(controls.gateStep) + '\n';
    const bool written = out.write(text) == text.size();
    if (!written || !out.commit()) {
        AddMessage(MessageWarning, tr("opening %1").arg(settingsFile));
        return false;
    }
    return true;
}

bool Fotonel::LoadSettings(const QString &settingsFile)
{
    QFile in(settingsFile);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Text)) {
        AddMessage(MessageWarning, tr("could not open %1").arg(settingsFile));
        return false;
    }
    // No line of this file is longer than a path; anything longer is not ours
    // and is skipped without being held in memory whole.
    const qint64 longestLine = 65536;
    while (!in.atEnd()) {
        const QByteArray line = in.readLine(longestLine);
        if (line.isEmpty() && in.error() != QFileDevice::NoError)
            break;
        if (!line.endsWith('\n') && !in.atEnd()) {
            QByteArray piece;
            do {
                piece = in.readLine(longestLine);
            } while (!piece.isEmpty() && !piece.endsWith('\n'));
            continue;
        }
        QByteArray key, separator, rest;
        SplitLine(line, key, separator, rest);
        if (separator != "=")
            continue;
        // Paths may hold inner spaces; a carriage return at the end goes with the trim.
        const QString value = QString::fromLatin1(rest).trimmed();
        if (key == "opendir") {
            openDir = value;
            AddMessage(MessageNormal, tr("opendir %1").arg(value));
        } else if (key == "savedir") {
            saveDir = value;
            AddMessage(MessageNormal, tr("savedir %1").arg(value));
        } else if (key == "GatingRange") {
            controls.gateRange = LeadingNumber(value);
        } else if (key == "GatingStep") {
            controls.gateStep = LeadingNumber(value);
        } else if (key.size() == 12 && key.startsWith("Ch") && key[2] >= '1' && key[2] <= '4') {
            // Setting a box runs the same coupling as a user edit, so a minimum
            // is limited by its channel's maximum of that moment and vice versa.
            // The box is widened first: a gate of a long-period file comes
            // back whole, so the next file can tell whether it spanned its range.
            const int channel = key[2] - '0';
            const QByteArray field = key.mid(3);
            const double gate = LeadingNumber(value);
            QDoubleSpinBox *box = field == "GatingMin"   ? controls.gateMinimum(channel)
                                  : field == "GatingMax" ? controls.gateMaximum(channel)
                                                         : nullptr;
            if (box) {
                if (std::isfinite(gate) && gate > box->maximum())
                    box->setMaximum(gate);
                box->setValue(gate);
            }
        }
    }
    in.close();
    return true;
}
