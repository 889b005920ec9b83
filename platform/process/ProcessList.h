// The running processes, read from a /proc tree.
#pragma once

#include <QString>

#include <optional>
#include <sys/types.h>
#include <vector>

namespace zuvo {

struct ProcessRecord {
  pid_t processID = 0;
  QString processName;            // the kernel's short command name (comm)
  pid_t processGroup = 0;         // from stat
  std::optional<uid_t> userID;    // the effective user, when status names one
  QString userName;               // that user's login name, when the user database knows it
};

// Every process in the tree's numeric folders, in folder order. A process that ends while it
// is read is left out; an unreadable tree gives an empty list. The folder is a parameter so
// that tests can hand in a tree of their own.
std::vector<ProcessRecord> processList(const QString& procRoot = QStringLiteral("/proc"));

// Whether the process has ended: no entry any more, or only its zombie is left.
bool processEnded(pid_t pid, const QString& procRoot = QStringLiteral("/proc"));

}  // namespace zuvo
