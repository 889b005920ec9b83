// The scanner window's controller: lists the scanners the browser finds, keeps a session
// open on the selected one, offers its functional units, and starts overview scans and
// scans with the stored settings; the pages the device hands up become files in the scan folder.
#pragma once

#include "platform/scan/ScannerDevice.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <functional>
#include <memory>
#include <set>

class AAPLBrowserWindowController;
class QComboBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;
class QWidget;
namespace zuvo {
class UserDefaults;
}
namespace zuvo::scanflow {
class UploadFlow;
}
namespace zuvo::scan {
class ScanPageWriter;
}

class AppController : public QObject {
  Q_OBJECT
 public:
  using ScannerDevice = zuvo::scan::ScannerDevice;
  using ScannerBrowser = zuvo::scan::ScannerBrowser;

  // The widgets of the scanner window's layout.
  struct Outlets {
    QWidget* mWindow = nullptr;
    QListWidget* mScannersTableView = nullptr;
    QComboBox* mFunctionalUnitMenu = nullptr;
    QProgressBar* mProgressIndicator = nullptr;
    QLabel* mStatusText = nullptr;
    QLabel* mOverviewImage = nullptr;
    QPushButton* butScan = nullptr;
    QPushButton* butOpen = nullptr;
    QPushButton* butOverview = nullptr;
    QPushButton* butCancelRequest = nullptr;
  };

  explicit AppController(const Outlets& outlets, QObject* parent = nullptr);
  ~AppController() override;

  // Sets up the window and starts the browser; called once the layout is loaded.
  void awakeFromNib(std::unique_ptr<ScannerBrowser> browser);

  // Window actions.
  void startOverviewScan();
  void startScan();
  void openSession();
  void closeSession();
  void selectFunctionalUnit(int menuIndex);
  // "Cancel request": the session closes, "Cancel" is reported, and the window closes when the
  // server took it.
  void closeScannerWindow();

  ScannerDevice* selectedScanner() const;
  QList<ScannerDevice*> scanners() const;
  // Where the pages of the running scan are written, and under which name.
  const zuvo::scan::ScanPageWriter& pageWriter() const { return *pageWriter_; }

  // True once the device delivered a page of the running scan.
  bool readyToScan = false;
  // The image browser windows opened after scans, kept alive here.
  std::set<std::shared_ptr<AAPLBrowserWindowController>> browserWindowControllers;

  // Device callbacks (the signals of the browser and of each device arrive here).
  void deviceBrowserDidAddDevice(ScannerDevice* device, bool moreComing);
  void deviceBrowserDidRemoveDevice(ScannerDevice* device, bool moreGoing);
  void didRemoveDevice(ScannerDevice* device);
  void deviceDidOpenSessionWithError(ScannerDevice* device, const QString& error);
  void deviceDidBecomeReady(ScannerDevice* device);
  void deviceDidReceiveStatusInformation(ScannerDevice* device, const QString& status, const QString& localized);
  void deviceDidEncounterError(ScannerDevice* device, const QString& error);
  void scannerDeviceDidBecomeAvailable(ScannerDevice* device);
  // A page of the running scan: written to its file off the main thread, in order.
  void scannerDeviceDidScanPage(ScannerDevice* device, const QImage& image, int dpi);
  void scannerDeviceDidCompleteOverviewScanWithError(ScannerDevice* device, const QImage& image,
                                                     const QString& error);
  // The end of a scan, handled once every page of it is in its file: the pages go to the
  // server at once (quick mode) or into the image browser, which then takes the scanner
  // window's place.
  virtual void scannerDeviceDidCompleteScanWithError(ScannerDevice* device, const QString& error);

  void tableViewSelectionDidChange();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void scannerWindowWillClose();
  void scanCompleted(const QString& device, const QString& error);
  // A page that cannot be written ends the scan as a device error does.
  void pageWriteFailed(const QString& error);
  void buildFunctionalUnitMenu(ScannerDevice* device);
  void clearFunctionalUnitMenu();
  void showProgress();
  void hideProgress();
  void updateControlTitles();
  void showSheet(const QString& informative);
  // Quick mode: the pages go up as one PDF (the upload flow, wired to this window).
  void quickRoad();
  void browserRoad();
  static QString describe(const ScannerDevice* device);

  Outlets o_;
  std::unique_ptr<ScannerBrowser> mDeviceBrowser;
  QList<QPointer<ScannerDevice>> mScanners;
  std::unique_ptr<zuvo::UserDefaults> preferences;
  // Devices that reported themselves ready since their session opened.
  QSet<ScannerDevice*> readyDevices_;
  std::unique_ptr<zuvo::scan::ScanPageWriter> pageWriter_;
  QPointer<ScannerDevice> scanningDevice_;
  bool observingWindow_ = false;
  std::unique_ptr<zuvo::scanflow::UploadFlow> upload_;
};
