#include "platform/process/TerminationSignals.h"

#include "platform/core/ErrorReport.h"
#include "platform/fs/Files.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <utility>
#include <unistd.h>

namespace zuvo {
namespace {

int g_pipe[2] = {-1, -1};
std::function<void()> g_onSignal;
bool g_signalled = false;

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  // Async-signal-safe; a full pipe already holds a pending quit.
  [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
  errno = saved;
}

bool installHandlers() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (const int signal : {SIGTERM, SIGINT}) {
    if (::sigaction(signal, &action, nullptr) != 0) {
      reportError(QStringLiteral("Termination signals are not handled: %1").arg(files::errnoText(errno)));
      return false;
    }
  }
  return true;
}

}  // namespace

bool quitOnTerminationSignals() { return quitOnTerminationSignals(nullptr); }

bool quitOnTerminationSignals(std::function<void()> handler) {
  g_onSignal = std::move(handler);
  QCoreApplication* app = QCoreApplication::instance();
  if (!app || g_pipe[0] >= 0) return g_pipe[0] >= 0;
  if (::pipe2(g_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    reportError(QStringLiteral("Termination signals are not handled: %1").arg(files::errnoText(errno)));
    return false;
  }
  auto* notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, app);
  QObject::connect(notifier, &QSocketNotifier::activated, app, [] {
    char buffer[64];
    while (::read(g_pipe[0], buffer, sizeof buffer) > 0) {
    }
    if (g_onSignal && !std::exchange(g_signalled, true)) g_onSignal();
    else QCoreApplication::quit();
  });
  return installHandlers();
}

void restoreTerminationSignals() {
  if (g_pipe[0] >= 0) installHandlers();
}

}  // namespace zuvo
