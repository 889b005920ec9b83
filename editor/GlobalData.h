// The editor's paths in the DataFolder, built fresh on every call.
#pragma once

#include <QString>
#include <QUrl>

class GlobalData {
 public:
  static GlobalData& sharedGlobalData();

  QString applicationSupportDirectory() const;
  QString getDocumentDownloadPath() const;  // ends with "/"
  QString getBackupDocumentPath() const;
  QString getTempDirectoryPath() const;
  QString getDatabasePath() const;
  QString getEditorDataPath() const;  // <DataFolder>/Data/ZuvoEditor
  QUrl getDocumentDownloadURL() const;
  QUrl getTempDirectoryURL() const;

 private:
  GlobalData() = default;
};
