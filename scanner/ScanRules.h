// Small rules of the scanner's settings and scan requests.
#pragma once

#include <QList>
#include <QString>
#include <optional>

// The integer at the start of a text: leading blanks, an optional sign, digits; the rest is
// ignored; no digits gives 0. Clamped to the int range.
int integerValueOfText(const QString& text);

// The functional-unit menu's title of a unit type; none outside 0 to 3.
std::optional<QString> functionalUnitTitle(int type);
