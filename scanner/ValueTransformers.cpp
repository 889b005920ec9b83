#include "scanner/ValueTransformers.h"

#include <QImage>

namespace ValueTransformers {
namespace {

// A boolean counts as a number, as 0 or 1; a text never does.
bool isNonZeroNumber(const QVariant& value) {
  switch (value.typeId()) {
    case QMetaType::Bool:
      return value.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Char:
    case QMetaType::SChar:
    case QMetaType::UChar:
      return value.toLongLong() != 0;
    case QMetaType::Float:
    case QMetaType::Double: {
      // The integer value: truncated towards zero.
      const double d = value.toDouble();
      return d >= 1.0 || d <= -1.0;
    }
    default:
      return false;
  }
}

}  // namespace

QPixmap CGImageRefToNSImageTransformer(const QImage& image) {
  if (image.isNull()) return {};
  return QPixmap::fromImage(image);
}

QString OpenControlTitle(const QVariant& value) {
  return isNonZeroNumber(value) ? QStringLiteral("Close") : QStringLiteral("Open");
}

QString OverviewControlTitle(const QVariant& value) {
  return isNonZeroNumber(value) ? QStringLiteral("Cancel") : QStringLiteral("Overview");
}

QString ScanControlTitle(const QVariant& value) {
  return isNonZeroNumber(value) ? QStringLiteral("Cancel") : QStringLiteral("Scan");
}

}  // namespace ValueTransformers
