#include "scanner/LaunchArguments.h"

#include "common/Log.h"

#include <algorithm>

namespace {

bool fitsInPartHeader(const QString& token) {
  return std::none_of(token.begin(), token.end(), [](QChar c) {
    return c.category() == QChar::Other_Control || c == QLatin1Char('"') || c == QLatin1Char('\\');
  });
}

}  // namespace

LaunchRequest parseLaunchArguments(const QStringList& arguments) {
  LaunchRequest request;
  if (arguments.size() < 2) {
    request.error = QStringLiteral("No launch mode given");
    return request;
  }
  const QString& mode = arguments[1];
  if (mode == QLatin1String("ScanSettings")) {
    request.mode = LaunchRequest::Mode::ScanSettings;
  } else if (mode == QLatin1String("ScanDoc")) {
    // Without a token or an upload URL the scan could never be delivered.
    if (arguments.size() < 4) {
      request.error = QStringLiteral("ScanDoc without a token or an upload URL");
      return request;
    }
    if (!fitsInPartHeader(arguments[2])) {
      request.error = QStringLiteral("Token refused, it holds a control character, '\"' or '\\': \"%1\"")
                          .arg(zuvo::loggableValue(arguments[2]));
      return request;
    }
    request.mode = LaunchRequest::Mode::ScanDoc;
    request.token = arguments[2];
    request.uploadUrl = arguments[3];
    if (arguments.size() > 4) request.scanFlag = arguments[4];
  } else {
    request.error = QStringLiteral("Unknown launch mode: \"%1\"").arg(zuvo::loggableValue(mode));
  }
  return request;
}
