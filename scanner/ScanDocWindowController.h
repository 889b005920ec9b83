// The scanner window of mode "ScanDoc": its layout and the AppController that drives it.
#pragma once

#include "platform/scan/ScannerDevice.h"

#include <functional>
#include <memory>

class AppController;
class QWidget;
namespace Ui {
class ScanDocWindowController;
}

class ScanDocWindowController {
 public:
  using BrowserFactory = std::function<std::unique_ptr<zuvo::scan::ScannerBrowser>()>;

  // Loads the layout; its AppController starts with a browser from the factory (SANE when none).
  explicit ScanDocWindowController(BrowserFactory browserFactory = {});
  ~ScanDocWindowController();

  void windowDidLoad() {}
  // Shows the window in front of the others.
  void showWindow();
  QWidget* window() const { return window_.get(); }
  AppController* appController() const { return controller_.get(); }

 private:
  std::unique_ptr<QWidget> window_;
  std::unique_ptr<Ui::ScanDocWindowController> ui_;
  std::unique_ptr<AppController> controller_;  // destroyed before the window it refers to
};
