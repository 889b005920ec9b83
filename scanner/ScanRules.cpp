#include "scanner/ScanRules.h"

#include "platform/scan/ScannerDevice.h"

#include <algorithm>
#include <climits>

int integerValueOfText(const QString& text) {
  qsizetype i = 0;
  while (i < text.size() && text[i].isSpace()) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == QLatin1Char('-') || text[i] == QLatin1Char('+'))) {
    negative = text[i] == QLatin1Char('-');
    ++i;
  }
  qint64 value = 0;
  for (; i < text.size() && text[i] >= QLatin1Char('0') && text[i] <= QLatin1Char('9'); ++i) {
    value = value * 10 + (text[i].unicode() - '0');
    if (value > qint64(INT_MAX) + 1) value = qint64(INT_MAX) + 1;  // saturated; clamped below
  }
  if (negative) value = -value;
  return int(std::clamp<qint64>(value, INT_MIN, INT_MAX));
}

std::optional<QString> functionalUnitTitle(int type) {
  switch (type) {
    case zuvo::scan::Flatbed:
      return QStringLiteral("Flatbed");
    case zuvo::scan::PositiveTransparency:
      return QStringLiteral("Postive Transparency");
    case zuvo::scan::NegativeTransparency:
      return QStringLiteral("Negative Transparency");
    case zuvo::scan::DocumentFeeder:
      return QStringLiteral("Document Feeder");
    default:
      return std::nullopt;
  }
}
