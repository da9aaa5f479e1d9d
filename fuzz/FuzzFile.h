#pragma once
/*!
 * \brief What the fuzz targets share: a private folder for the file under
 * test, written afresh for every input and removed with its export folder.
 */
#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

namespace fuzz {

/// Writes \p size bytes of \p data as NAME in the process's own scratch
/// folder and returns its path; the export folder of an earlier input is gone.
QString WriteInput(const uint8_t *data, std::size_t size, const QString &name);

/// Removes the scratch folder's content (the input and its export folder).
void ClearScratch();

} // namespace fuzz
