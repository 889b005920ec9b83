// Ordering of names as people read numbered names: character by character, case-sensitive
// (code units), each run of ASCII digits compared by its value ("Field 2" < "Field 10").
// Our own rather than QCollator, whose result depends on the locale and ICU.
#pragma once

#include <QString>

namespace zuvo {

// < 0, 0 or > 0.
int numericCompare(const QString& a, const QString& b);
inline bool numericLess(const QString& a, const QString& b) { return numericCompare(a, b) < 0; }

}  // namespace zuvo
