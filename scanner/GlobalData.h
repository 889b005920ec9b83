// The scanner's program-wide values: the request it was launched for and its folders.
#pragma once

#include <QString>
#include <optional>

class GlobalData {
 public:
  static GlobalData& sharedGlobalData();

  // From the launch arguments of mode "ScanDoc"; unset otherwise.
  std::optional<QString> token_scan_doc;
  std::optional<QString> upload_url_scan_doc;
  std::optional<QString> scan_flag;  // "true" selects quick mode

  QString applicationSupportDirectory() const;
  // <DataFolder>/Data/ZuvoScanner/Documents/ (ends with "/")
  QString getScanDocumentPath() const;

 private:
  GlobalData() = default;
};

// The program's bundle identifier: its session-bus name, settings file and log.
inline const QString kScannerBundleIdentifier = QStringLiteral("com.roza.zuvoscanner");
