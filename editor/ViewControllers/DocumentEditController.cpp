#include "editor/ViewControllers/DocumentEditController.h"

#include <pthread.h>
#include <thread>

std::shared_ptr<DocumentEditController> DocumentEditController::create() {
  return std::shared_ptr<DocumentEditController>(new DocumentEditController());
}

// Stops nothing: while a watcher runs with its handler attached, the handler holds the
// controller, so the controller cannot be destroyed before the watcher is stopped.
DocumentEditController::~DocumentEditController() = default;

void DocumentEditController::start() {
  // The running thread holds the controller; the dispatch keeps no reference.
  std::thread([self = shared_from_this()]() mutable {
    pthread_setname_np(pthread_self(), "DocumentEdit");
    self->main();
    self->finished_ = true;
    self.reset();
  }).detach();
}

void DocumentEditController::main() { downloadWordDocument(); }
