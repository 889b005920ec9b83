#include "platform/process/Subprocess.h"
#include "platform/fs/Files.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace zuvo {

ExecArguments::ExecArguments(const QString& program, const QStringList& arguments) {
  storage_.push_back(QFile::encodeName(program));
  for (const QString& a : arguments) storage_.push_back(a.toUtf8());
  for (QByteArray& s : storage_) pointers_.push_back(s.data());
  pointers_.push_back(nullptr);
}

ToolOutcome runToolAndWait(const QString& program, const QStringList& arguments,
                           std::chrono::milliseconds limit, std::chrono::milliseconds step) {
  ToolOutcome outcome;
  ExecArguments exec(program, arguments);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, exec.program(), &actions, nullptr, exec.argv(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    outcome.error = files::errnoText(rc);
    return outcome;
  }

  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::this_thread::sleep_for(step);
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      outcome.result = ToolResult::Exited;
      outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return outcome;
    }
    if (r < 0 && errno != EINTR) {  // reaped elsewhere: treat as ended
      outcome.result = ToolResult::Exited;
      return outcome;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      outcome.result = ToolResult::TimedOut;
      return outcome;
    }
  }
}

}  // namespace zuvo
