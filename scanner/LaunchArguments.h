// The launch arguments as the bridge passes them: "ScanSettings", or "ScanDoc" followed by
// the token, the upload URL, the quick-mode word and three patient fields (not read).
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

struct LaunchRequest {
  enum class Mode { ScanDoc, ScanSettings, Invalid };
  Mode mode = Mode::Invalid;
  std::optional<QString> token;
  std::optional<QString> uploadUrl;
  std::optional<QString> scanFlag;
  QString error;  // why the arguments ask for nothing (mode Invalid)
};

// arguments[0] is the program path; every later element is data, compared exactly. A token
// goes into the upload's part header as its quoted file name: one with a control character,
// '"' or '\' would end or escape that quoting (or the header), and is refused.
LaunchRequest parseLaunchArguments(const QStringList& arguments);
