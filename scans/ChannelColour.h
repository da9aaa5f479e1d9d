#pragma once
#include <QColor>

/*!
 * \brief The colour of every curve of a detector channel (or, in the
 * correlation grid, of a row of channel pairs): index 0 light blue
 * "#66b3da", 1 green "#69bd45", 2 yellow "#f6dc1e", 3 purple "#ba519f",
 * repeating every four; black for a negative index.
 */
QColor ChannelColour(int index);
