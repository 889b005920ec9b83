// The small window beside a template in the word processor: a pop-up of the template's
// default placeholder names and an Insert button that types the chosen "<<name>>" at the
// selection. One per open template; the document's controller holds it.
#pragma once

#include "editor/DocInfo.h"

#include <QString>
#include <QStringList>
#include <memory>

class QComboBox;
class QPushButton;
class QWidget;
namespace Ui {
class PlaceHolderWindowController;
}

class PlaceHolderWindowController {
 public:
  PlaceHolderWindowController();
  ~PlaceHolderWindowController();

  // Set before the window is first asked for: only its xml_path is read.
  void setDocInfo(const std::shared_ptr<DocInfo>& info) { docInfo = info; }
  std::shared_ptr<DocInfo> docInfo;

  // The window, loaded from its layout at the first call (which fetches the list).
  QWidget* window();
  bool isWindowLoaded() const { return window_ != nullptr; }
  void close();

  // Outlets (valid once the window is loaded).
  QPushButton* insertButton = nullptr;
  QComboBox* placeholderButton = nullptr;
  QStringList arrPlaceholder;

  void windowWillLoad() {}
  void windowDidLoad();
  // Fetches the list synchronously (bounded by the HTTP time-out), parses it, fills the pop-up.
  void getDefaultPlaceholderDatafromURL(const QString& url);
  // Insert: types the selected name as a tag; nothing without a selected item.
  void insertPlaceHolder();

  // Parser callbacks.
  void parserFoundCharacters(const QString& piece) { arrPlaceholder.append(piece); }
  void parserDidEndDocument();

 private:
  std::unique_ptr<QWidget> window_;
  std::unique_ptr<Ui::PlaceHolderWindowController> ui_;
};
