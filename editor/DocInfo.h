// The record of one downloaded document, read by the later steps and the insertion window.
#pragma once

#include <QHash>
#include <QString>
#include <memory>

using PlaceholderDictionary = QHash<QString, QString>;

class DocInfo {
 public:
  QString uploadURL;
  QString fileName;
  QString token;
  QString destinationFolderPath;
  QString destinationFilePath;
  QString is_new_doc;
  // The controller's dictionary itself, not a copy; null when no list was fetched.
  std::shared_ptr<PlaceholderDictionary> placeHolderDic;
  bool is_template_doc = false;
  QString xml_path;
};
