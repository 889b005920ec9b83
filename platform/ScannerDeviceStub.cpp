// Stand-in until the SANE device layer is built in: a browser that finds no device.
#include "platform/ScannerDevice.h"

namespace zuvo::scan {
namespace {

class EmptyScannerBrowser : public ScannerBrowser {
 public:
  using ScannerBrowser::ScannerBrowser;
  void start() override {}
};

}  // namespace

std::unique_ptr<ScannerBrowser> makeSaneScannerBrowser(QObject* parent) {
  return std::make_unique<EmptyScannerBrowser>(parent);
}

}  // namespace zuvo::scan
