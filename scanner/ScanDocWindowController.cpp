#include "scanner/ScanDocWindowController.h"

#include "scanner/ViewControllers/AppController.h"
#include "ui_ScanDocWindowController.h"

#include <QWidget>

ScanDocWindowController::ScanDocWindowController(BrowserFactory browserFactory)
    : window_(std::make_unique<QWidget>()), ui_(std::make_unique<Ui::ScanDocWindowController>()) {
  ui_->setupUi(window_.get());
  AppController::Outlets outlets;
  outlets.mWindow = window_.get();
  outlets.mScannersTableView = ui_->mScannersTableView;
  outlets.mFunctionalUnitMenu = ui_->mFunctionalUnitMenu;
  outlets.mProgressIndicator = ui_->mProgressIndicator;
  outlets.mStatusText = ui_->mStatusText;
  outlets.mOverviewImage = ui_->mOverviewImage;
  outlets.butScan = ui_->butScan;
  outlets.butOpen = ui_->butOpen;
  outlets.butOverview = ui_->butOverview;
  outlets.butCancelRequest = ui_->butCancelRequest;
  controller_ = std::make_unique<AppController>(outlets);
  controller_->awakeFromNib(browserFactory ? browserFactory() : zuvo::scan::makeSaneScannerBrowser());
  windowDidLoad();
}

ScanDocWindowController::~ScanDocWindowController() = default;

void ScanDocWindowController::showWindow() {
  window_->show();
  window_->raise();
  window_->activateWindow();
}
