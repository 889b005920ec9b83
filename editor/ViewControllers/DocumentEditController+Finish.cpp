// The editor asked to finish before the plug-in is removed, and the record of which copy of
// each letter the server has.
#include "editor/ViewControllers/DocumentEditController.h"

#include "common/AAPLFileTreeWatcherThread.h"
#include "common/LetterState.h"
#include "common/Log.h"
#include "editor/GlobalData.h"

#include <utility>
#include <vector>

namespace {

// The controllers that have watched a letter; main thread only.
std::vector<std::weak_ptr<DocumentEditController>>& watched() {
  static std::vector<std::weak_ptr<DocumentEditController>> list;
  return list;
}

}  // namespace

void DocumentEditController::noteWatched() {
  std::erase_if(watched(), [](const std::weak_ptr<DocumentEditController>& w) { return w.expired(); });
  watched().push_back(weak_from_this());
}

void DocumentEditController::finishAll(std::function<void()> done) {
  auto pending = std::make_shared<int>(1);
  auto last = std::make_shared<std::function<void()>>(std::move(done));
  auto one = [pending, last] {
    if (--*pending == 0 && *last) std::exchange(*last, {})();
  };
  for (const std::weak_ptr<DocumentEditController>& weak : watched()) {
    const std::shared_ptr<DocumentEditController> c = weak.lock();
    if (!c || !c->flow_ || !c->fileTreeWatcherThread) continue;
    ++*pending;
    c->flow_->finish([c, one] { one(); });
  }
  one();
}

void DocumentEditController::recordServerCopy(const std::shared_ptr<DocInfo>& info, std::chrono::nanoseconds modified) {
  QString why;
  if (!zuvo::letters::recordAccepted(GlobalData::sharedGlobalData().getEditorDataPath(), info->token, info->fileName,
                                     modified, &why))
    zuvo::logError(QStringLiteral("%1 : %2").arg(info->fileName, why));
}
