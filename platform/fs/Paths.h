// The folders the programs share: the Application Support folder, the DataFolder with its
// program bundles, and the user's private temporary folder.
#pragma once

#include <QString>

namespace zuvo::paths {

// $XDG_DATA_HOME when it is absolute, else ~/.local/share (the XDG rule, which is also the
// first GenericDataLocation entry).
QString applicationSupportDirectory();

// $XDG_CONFIG_HOME when it is absolute, else ~/.config (login items, user units).
QString configHomeDirectory();

// <Application Support>/ZuvoDocV30
QString dataFolder();

// <DataFolder>/Logs, where every program but the installer writes its log files.
QString logsFolder();

// <DataFolder>/<name>.app and its executable <name>.app/Contents/MacOS/<name>.
QString bundlePath(const QString& programName);
QString bundleExecutable(const QString& programName);

// $XDG_RUNTIME_DIR when it is set, absolute and private (ours, mode 0700); otherwise a
// private folder made once per process with mkdtemp under $TMPDIR (or /tmp).
// Ends without a slash. Empty when no private folder can be had.
QString temporaryDirectory();

}  // namespace zuvo::paths
