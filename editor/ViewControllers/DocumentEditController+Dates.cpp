// The controller's date formatter: the `modified` text of tb_documents.
#include "editor/ViewControllers/DocumentEditController.h"

namespace {
constexpr auto kModifiedFormat = "yyyy-MM-dd HH:mm:ss";
}

// QDateTime's own formatting uses the C locale, so digits stay ASCII whatever the user's
// locale; the time zone is the user's.
QString DocumentEditController::formatModifiedDate(const QDateTime& date) {
  return date.toLocalTime().toString(QLatin1String(kModifiedFormat));
}

// An invalid date when the text is not in the format.
QDateTime DocumentEditController::parseModifiedDate(const QString& text) {
  return QDateTime::fromString(text, QLatin1String(kModifiedFormat));
}
