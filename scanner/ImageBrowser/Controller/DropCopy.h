// Copying a dropped file into the browser's folder: never over an existing file, and with
// its tags (user.xdg.tags) and modification time, which a plain copy would drop.
#pragma once

#include <QString>

namespace zuvo {

// False with the system's error text when the source is not a regular file, a file of that
// name is already at `to`, or reading or writing fails (nothing is left at `to` then).
bool copyFileKeepingTags(const QString& from, const QString& to, QString* errorText = nullptr);

}  // namespace zuvo
