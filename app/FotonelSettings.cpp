#include "app/Fotonel.h"

#include "ui_Fotonel.h"

#include "app/LifetimeGroup.h"
#include "files/AtomicFile.h"

#include <QDoubleSpinBox>
#include <QFile>
#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <locale>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Ten lines of a key and a path: more than this is not a settings file of ours.
constexpr qint64 kSettingsBytes = 65536;

enum class SettingsRead { Read, Missing, NotRegular, TooLong };  // Missing: cannot be opened

/*!
 * The first kSettingsBytes of \p name in \p content, up to its last whole
 * line. Only a regular file is read: the name is opened without blocking, so a
 * pipe under it never waits for a writer, and then checked.
 */
SettingsRead ReadSettingsFile(const QString &name, QByteArray &content)
{
    const int fd = ::open(QFile::encodeName(name).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return SettingsRead::Missing;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return SettingsRead::NotRegular;
    }
    content.resize(static_cast<int>(kSettingsBytes + 1));
    qint64 have = 0;
    while (have < content.size()) {
        const ssize_t n = ::read(fd, content.data() + have, static_cast<std::size_t>(content.size() - have));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        have += n;
    }
    ::close(fd);
    content.resize(static_cast<int>(have));
    if (have <= kSettingsBytes)
        return SettingsRead::Read;
    // A line cut by the limit is not taken.
    content.truncate(content.lastIndexOf('\n', static_cast<int>(kSettingsBytes) - 1) + 1);
    return SettingsRead::TooLong;
}

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

/*!
 * The Lifetime group's fields under their keys, in the group's order. A
 * field is written only when it differs from the group's start-up value, so
 * the file of someone who never changed them keeps the bytes it always had,
 * and a file without them gives the start-up values. Whole numbers and the
 * reference lifetime keep to the ranges of their boxes; anything else read
 * back is refused. The two paths are UTF-8.
 */
/// A field of the group: a whole number in [minimum, maximum] (odd only for
/// the fit map's binning), a path, or, with neither, the reference lifetime.
struct LifetimeKey {
    const char *key;
    int flim::Settings::*whole;
    std::string flim::Settings::*path;
    int minimum, maximum;
    bool oddOnly;
};
constexpr LifetimeKey kLifetimeKeys[] = {
    {"LifetimeHarmonic", &flim::Settings::harmonic, nullptr, 1, 16, false},
    {"LifetimeReference", nullptr, &flim::Settings::referenceFile, 0, 0, false},
    {"LifetimeReferenceTau", nullptr, nullptr, 0, 0, false},
    {"LifetimeThreshold", &flim::Settings::threshold, nullptr, 0, 1000000000, false},
    {"LifetimeMedian", &flim::Settings::median, nullptr, 0, 100, false},
    {"LifetimeComponents", &flim::Settings::components, nullptr, 1, 3, false},
    {"LifetimeIrf", nullptr, &flim::Settings::irfFile, 0, 0, false},
    {"LifetimeBinning", &flim::Settings::binning, nullptr, 1, 5, true}};
constexpr double kReferenceTauMaximum = 1000;

/// The lines of the fields of \p s that differ from the start-up values.
QByteArray LifetimeLines(const flim::Settings &s, QByteArray (*number)(double))
{
    const flim::Settings start;
    QByteArray text;
    for (const LifetimeKey &k : kLifetimeKeys) {
        QByteArray value;
        if (k.whole && s.*k.whole != start.*k.whole)
            value = QByteArray::number(s.*k.whole);
        else if (k.path && s.*k.path != start.*k.path)
            value = QByteArray::fromStdString(s.*k.path);
        else if (!k.whole && !k.path && s.referenceTau != start.referenceTau)
            value = number(s.referenceTau);
        else
            continue;
        text += QByteArray(k.key) + " = " + value + '\n';
    }
    return text;
}

enum class LifetimeRead { NotOurs, Read, Invalid };

/// The field of key \p key from \p value into \p s; an invalid value sets the start-up value.
LifetimeRead ReadLifetimeField(const QByteArray &key, const QByteArray &value, flim::Settings &s)
{
    const flim::Settings start;
    for (const LifetimeKey &k : kLifetimeKeys) {
        if (key != k.key)
            continue;
        if (k.path) {
            s.*k.path = QString::fromUtf8(value).toStdString();
            return LifetimeRead::Read;
        }
        bool ok = false;
        if (k.whole) {
            const int v = value.toInt(&ok);
            ok = ok && v >= k.minimum && v <= k.maximum && (!k.oddOnly || v % 2 == 1);
            s.*k.whole = ok ? v : start.*k.whole;
        } else {
            const double v = value.toDouble(&ok);
            ok = ok && std::isfinite(v) && v >= 0 && v <= kReferenceTauMaximum;
            s.referenceTau = ok ? v : start.referenceTau;
        }
        return ok ? LifetimeRead::Read : LifetimeRead::Invalid;
    }
    return LifetimeRead::NotOurs;
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
    // complete: a full disk or a crash leaves the previous settings in place,
    // and a link under the name is replaced itself, never written through.
    // Anything else that is no regular file (a pipe, a device, a folder) is
    // left alone; the settings stay in memory.
    struct stat info {};
    if (::lstat(QFile::encodeName(settingsFile).constData(), &info) == 0 && !S_ISREG(info.st_mode) &&
        !S_ISLNK(info.st_mode)) {
        AddMessage(MessageWarning, tr("%1 is not a regular file: the settings are not saved").arg(settingsFile));
        return false;
    }
    AtomicFile out(settingsFile);
    out.SetSyncToDisk(true);
    if (!out.Open()) {
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
    if (lifetimeGroup)
        text += LifetimeLines(lifetimeGroup->Settings(), &Fotonel::SettingsNumber);
    if (!out.Write(text) || !out.Commit()) {
        AddMessage(MessageWarning, tr("opening %1").arg(settingsFile));
        return false;
    }
    return true;
}

bool Fotonel::LoadSettings(const QString &settingsFile)
{
    QByteArray content;
    switch (ReadSettingsFile(settingsFile, content)) {
    case SettingsRead::Missing:
        AddMessage(MessageWarning, tr("could not open %1").arg(settingsFile));
        return false;
    case SettingsRead::NotRegular:
        AddMessage(MessageWarning, tr("%1 is not a regular file: the settings are not read").arg(settingsFile));
        return false;
    case SettingsRead::TooLong:
        AddMessage(MessageWarning, tr("%1 is longer than the settings: only its first %2 bytes are read")
                                       .arg(settingsFile).arg(kSettingsBytes));
        break;
    case SettingsRead::Read:
        break;
    }
    flim::Settings lifetime = lifetimeGroup ? lifetimeGroup->Settings() : flim::Settings{};
    for (const QByteArray &line : content.split('\n')) {
        QByteArray key, separator, rest;
        SplitLine(line, key, separator, rest);
        if (separator != "=")
            continue;
        // Paths may hold inner spaces; a carriage return at the end goes with the trim.
        const QString value = QString::fromLatin1(rest).trimmed();
        const LifetimeRead field = ReadLifetimeField(key, rest.trimmed(), lifetime);
        if (field == LifetimeRead::Invalid)
            AddMessage(MessageWarning, tr("%1: %2 %3 is not a valid value, the start-up value is used")
                                           .arg(settingsFile, QString::fromLatin1(key), QString::fromUtf8(rest.trimmed())));
        if (field != LifetimeRead::NotOurs)
            continue;
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
    if (lifetimeGroup)
        lifetimeGroup->SetSettings(lifetime);
    return true;
}
