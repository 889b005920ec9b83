// LibreOffice's lock files (".~lock.<name>#") beside a watched document: whether the program
// that wrote one still holds it. A killed or crashed LibreOffice leaves its lock behind and
// no file event says so; a lock counts as left behind only when this can be proved:
//
// - the lock is LibreOffice's own (",user,host,date,profileURL;") and names this host;
// - nothing of this user answers on that profile's single-instance pipe (every running
//   LibreOffice listens there), or what answers was started after the lock was last written
//   (a LibreOffice started anew; the one that wrote the lock is gone: every open and every
//   save writes the lock again).
//
// Any other lock (unreadable, another host's, another program's) counts as held: it goes only
// when its program removes it.
#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace zuvo::officelocks {

struct LockEntry {
  QString author, user, host, date, profileUrl;
};
// The fields of a lock file's content; no value when it is not LibreOffice's format.
std::optional<LockEntry> parseLock(const QByteArray& content);

// "/tmp/OSL_PIPE_<uid>_SingleOfficeIPC_<hash>" of a profile URL.
QString singleInstancePipe(const QString& profileUrl, unsigned uid);

// The host names match (a short name matches its fully qualified form).
bool sameHost(const QString& a, const QString& b);

enum class LockState {
  Held,      // a running LibreOffice of this user holds it
  Unknown,   // not LibreOffice's, or another host's: held as far as anyone can tell
  LeftOver,  // the LibreOffice that wrote it is gone
};
LockState lockState(const QString& lockPath);

// A name LibreOffice gives its lock files, or the temporary files of its saves ("lu*.tmp").
bool isLockName(const QString& name);
bool isSaveTempName(const QString& name);

struct FolderLocks {
  int leftOverEntries = 0;  // left-over locks, and the save leftovers that come with them
  bool held = false;        // some lock is held by a running LibreOffice
};
// The locks of a shallow listing of the folder.
FolderLocks folderLocks(const QString& folder);

}  // namespace zuvo::officelocks
