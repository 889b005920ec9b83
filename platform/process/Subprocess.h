// Running a helper tool to its end from any thread, without a shell and without Qt's
// event loop: stdin from /dev/null, a time limit after which the tool is killed.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <vector>

namespace zuvo {

// An argv for exec: the program path and the arguments (UTF-8), ending in a null pointer.
class ExecArguments {
 public:
  ExecArguments(const QString& program, const QStringList& arguments);
  const char* program() const { return storage_.front().constData(); }
  char* const* argv() { return pointers_.data(); }

 private:
  std::vector<QByteArray> storage_;
  std::vector<char*> pointers_;
};

enum class ToolResult { Exited, FailedToStart, TimedOut };

struct ToolOutcome {
  ToolResult result = ToolResult::FailedToStart;
  int exitCode = -1;   // for Exited; -1 when ended by a signal
  QString error;       // for FailedToStart: the system's reason
};

// Starts the program with exactly these arguments and polls in `step` intervals (sleeping at
// least once) until it has ended; after `limit` it is killed and reaped. Its output goes
// to /dev/null.
ToolOutcome runToolAndWait(const QString& program, const QStringList& arguments,
                           std::chrono::milliseconds limit,
                           std::chrono::milliseconds step = std::chrono::milliseconds(50));

}  // namespace zuvo
