#include "files/RecordTable.h"

#include "host/FotonelServices.h"

#include <charconv>

namespace {

const char *const kTitles[RecordTable::kColumns] = {
    "        nr ", "T3record ", "nSync ", "Chan ", "dtime ", "marker ", "truensync ", "delaytime (ns)",
    "truetime (ns)", "deltatime (ns)",
};

/// \p text right-aligned in \p width characters, then a blank.
void AppendField(std::string &out, const char *text, std::size_t length, std::size_t width)
{
    if (length < width)
        out.append(width - length, ' ');
    out.append(text, length);
    out.push_back(' ');
}

void AppendNumber(std::string &out, uint64_t value, std::size_t width, int base = 10)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value, base).ptr;
    AppendField(out, digits, static_cast<std::size_t>(end - digits), width);
}

/// Fixed point with 6 decimals, as printf's "%.6f" writes it.
void AppendTime(std::string &out, double value)
{
    // The largest double written in full takes 309 digits, plus sign, point and decimals.
    char digits[330];
    const auto result = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 6);
    AppendField(out, digits, static_cast<std::size_t>(result.ptr - digits), 0);
}

} // namespace

RecordTable::Columns RecordTable::ReadColumns(FotonelServices &host)
{
    Columns columns{};
    for (int i = 0; i < kColumns; ++i)
        columns[i] = host.GetRecordColumn(static_cast<RecordColumn>(i)) == Qt::Checked;
    return columns;
}

void RecordTable::AppendHeader(std::string &out, const Columns &columns)
{
    for (int i = 0; i < kColumns; ++i)
        if (columns[i])
            out += kTitles[i];
    out.push_back('\n');
}

void RecordTable::AppendLine(std::string &out, const Columns &columns, uint32_t index, const T3RecordFields &cursor)
{
    using C = RecordColumn;
    auto on = [&](C c) { return columns[static_cast<int>(c)]; };
    if (on(C::Number))
        AppendNumber(out, index, 10);
    if (on(C::T3Record))
        AppendNumber(out, cursor.record, 0, 16);
    if (on(C::nSync))
        AppendNumber(out, cursor.nsync, 5);
    if (on(C::Channel))
        AppendNumber(out, cursor.channel, 4);
    // A T2 photon before the first sync has no delay: "-" in both delay columns.
    const bool noDelay = cursor.marker == PHOTON_MARKER && cursor.dtime == kNoDelay;
    if (on(C::dTime)) {
        if (noDelay)
            AppendField(out, "-", 1, 5);
        else
            AppendNumber(out, cursor.dtime, 5);
    }
    if (on(C::Marker)) {
        if (cursor.marker == 0) {
            AppendField(out, "Ofl", 3, 6);
        } else if (cursor.marker == PHOTON_MARKER) {
            AppendField(out, "photon", 6, 6);
        } else {
            char text[8] = {'M', 'A', ':'};
            const auto end = std::to_chars(text + 3, text + sizeof text, cursor.marker).ptr;
            AppendField(out, text, static_cast<std::size_t>(end - text), 6);
        }
    }
    if (on(C::TruenSync))
        AppendNumber(out, cursor.truensync, 10);
    if (on(C::DelayTime)) {
        if (noDelay)
            AppendField(out, "-", 1, 0);
        else
            AppendTime(out, cursor.delaytime);
    }
    if (on(C::TrueTime))
        AppendTime(out, cursor.truetime);
    if (on(C::DeltaTime))
        AppendTime(out, cursor.deltatime);
    out.push_back('\n');
}
