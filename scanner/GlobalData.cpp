#include "scanner/GlobalData.h"

#include "platform/fs/Paths.h"

GlobalData& GlobalData::sharedGlobalData() {
  static GlobalData instance;
  return instance;
}

QString GlobalData::applicationSupportDirectory() const { return zuvo::paths::applicationSupportDirectory(); }

QString GlobalData::getScanDocumentPath() const {
  return zuvo::paths::dataFolder() + QStringLiteral("/Data/ZuvoScanner/Documents/");
}
