#include "editor/GlobalData.h"

#include "platform/fs/Paths.h"

namespace {
// The editor's share of the DataFolder.
QString dataPath(const QString& relative) {
  return zuvo::paths::dataFolder() + relative;
}
}  // namespace

GlobalData& GlobalData::sharedGlobalData() {
  static GlobalData instance;
  return instance;
}

QString GlobalData::applicationSupportDirectory() const {
  return zuvo::paths::applicationSupportDirectory();
}

QString GlobalData::getDocumentDownloadPath() const {
  return dataPath(QStringLiteral("/Data/ZuvoEditor/Documents/"));
}

QString GlobalData::getBackupDocumentPath() const {
  return dataPath(QStringLiteral("/Data/ZuvoEditor/Backup"));
}

QString GlobalData::getTempDirectoryPath() const { return dataPath(QStringLiteral("/Data/tmp")); }

QString GlobalData::getDatabasePath() const {
  return dataPath(QStringLiteral("/Data/ZuvoEditor/ZuvoEditor.sqlite"));
}

QString GlobalData::getEditorDataPath() const { return dataPath(QStringLiteral("/Data/ZuvoEditor")); }

QUrl GlobalData::getDocumentDownloadURL() const {
  return QUrl::fromLocalFile(getDocumentDownloadPath());
}

QUrl GlobalData::getTempDirectoryURL() const { return QUrl::fromLocalFile(getTempDirectoryPath()); }
