#include "scanner/LaunchArguments.h"

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
    request.mode = LaunchRequest::Mode::ScanDoc;
    request.token = arguments[2];
    request.uploadUrl = arguments[3];
    if (arguments.size() > 4) request.scanFlag = arguments[4];
  } else {
    request.error = QStringLiteral("Unknown launch mode: \"%1\"").arg(mode);
  }
  return request;
}
