#include "platform/core/ErrorReport.h"

#include <atomic>
#include <cstdio>

namespace zuvo {
namespace {
std::atomic<ErrorReporter> g_reporter{nullptr};
}  // namespace

void setErrorReporter(ErrorReporter reporter) { g_reporter.store(reporter); }

void reportError(const QString& message) {
  if (ErrorReporter reporter = g_reporter.load()) return reporter(message);
  const QByteArray line = message.toUtf8() + '\n';
  std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
}

}  // namespace zuvo
