// Starting one of the plug-in's programs from its bundle in the DataFolder.
#pragma once

#include <QString>
#include <QStringList>

namespace zuvo {

// Starts <bundlePath>/Contents/MacOS/<Name> (Name = the bundle's name without ".app")
// asynchronously with exactly these arguments: no shell, a new session, stdin from
// /dev/null. When that executable already runs for this user it is not started again but
// brought to the front: Activate (org.freedesktop.Application) on its session-bus name
// com.roza.<name in lower case> at /com/roza/<name in lower case>, when the name is owned.
// Concurrent calls for one program start it once.
// False with an error text a user can read when the program cannot be started (an argument
// holding a NUL character cannot be passed and is refused the same way).
bool launchApplication(const QString& bundlePath, const QStringList& arguments, QString* error = nullptr);

// Whether a process of this user runs this executable (its /proc/<pid>/exe).
bool isProgramRunning(const QString& executable);

}  // namespace zuvo
