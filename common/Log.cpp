// Minimal logging until the rolling file logger lands: stderr only.
#include "common/Log.h"

#include <cstdio>
#include <mutex>

namespace zuvo {
namespace {
std::mutex g_mutex;
void writeLine(std::string_view text) {
  std::lock_guard lock(g_mutex);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fputc('\n', stderr);
}
}  // namespace

void setupLog(const QString&, const QString&) {}
void logError(const QString& message) { writeLine(message.toStdString()); }
void logError(std::string_view message) { writeLine(message); }
void logInfo(const QString& message) { writeLine(message.toStdString()); }
void logInfo(std::string_view message) { writeLine(message); }
void logSystem(const QString& message) { writeLine(message.toStdString()); }
void flushLog() {}

}  // namespace zuvo
