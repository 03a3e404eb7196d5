#pragma once

#include <QVariant>

namespace korvane {

// A value as a signed 32-bit number, the way the old logs report failures: 94 "Invalid use of
// Null", 13 "Type mismatch" for text that is no number, 6 "Overflow" out of range. Fractions
// round half to even.
qint32 toInt32(const QVariant& value);

}  // namespace korvane
