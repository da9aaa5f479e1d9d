#pragma once
/*!
 * \brief The lines of the ASCII record table: a header line with the titles
 * of the chosen columns, then one line per record, every value followed by
 * one blank.
 *
 * Columns, in output order (RecordColumn): record index right-aligned in
 * 10, raw word in lower-case hexadecimal, nsync in 5, channel in 4, dtime
 * in 5, the kind of record ("Ofl", "photon" or "MA:m") in 6, truensync in
 * 10, then delaytime, truetime and deltatime in ns with 6 decimals.
 */
#include "files/RecordFormat.h"

#include <array>
#include <string>

class FotonelServices;

class RecordTable {
public:
    static constexpr int kColumns = 10;
    using Columns = std::array<bool, kColumns>;

    /// The columns whose check boxes are checked now.
    static Columns ReadColumns(FotonelServices &host);
    /// Appends the header line: the titles of the chosen columns and a line end.
    static void AppendHeader(std::string &out, const Columns &columns);
    /// Appends the line of the record \p cursor decoded last, record index \p index.
    static void AppendLine(std::string &out, const Columns &columns, uint32_t index, const T3RecordFields &cursor);
};
