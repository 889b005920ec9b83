// Where the platform layers send a failure they cannot hand back to a caller (an alert shown
// without a display, a bus that cannot be reached). The program's log takes these over when
// it is set up; until then they go to standard error.
#pragma once

#include <QString>

namespace zuvo {

using ErrorReporter = void (*)(const QString& message);

// Thread-safe; nullptr puts standard error back.
void setErrorReporter(ErrorReporter reporter);
void reportError(const QString& message);

}  // namespace zuvo
