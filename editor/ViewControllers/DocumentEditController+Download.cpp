// Placeholder until the download lands: the controller's thread ends at once.
// The download's own implementation replaces this whole file.
#include "editor/ViewControllers/DocumentEditController.h"

void DocumentEditController::downloadWordDocument() {}
