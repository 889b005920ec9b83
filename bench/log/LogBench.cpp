// Information and error calls per second and the time an information call takes to
// return, against plain spdlog file loggers, in one run:
//   build/bench/log/log_bench
// Files go to a temporary folder; the system log and the console are left out (they would
// flood the journal and the terminal), so both sides write one file.
#include "common/Log.h"
#include "platform/fs/Paths.h"

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <QString>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

const QString kMessage = QStringLiteral("Letter_2026_12_09_84311.docx : Upload started");
std::string g_folder;

void ZuvoInfo(benchmark::State& state) {
  for (auto _ : state) zuvo::logInfo(kMessage);
  state.SetItemsProcessed(state.iterations());
  zuvo::flushLog();  // untimed: the next benchmark starts on an empty queue
}

// Information calls written to the file, not only queued.
void ZuvoInfoWritten(benchmark::State& state) {
  for (auto _ : state) {
    for (int i = 0; i < 1000; ++i) zuvo::logInfo(kMessage);
    zuvo::flushLog();
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}

void ZuvoError(benchmark::State& state) {
  for (auto _ : state) zuvo::logError(kMessage);
  state.SetItemsProcessed(state.iterations());
}

std::shared_ptr<spdlog::logger> plainLogger(const char* name) {
  auto logger = spdlog::basic_logger_mt(name, g_folder + "/" + name + ".log");
  logger->set_pattern("%Y/%m/%d %H:%M:%S:%e | %l | %v");
  logger->flush_on(spdlog::level::err);
  return logger;
}

void SpdlogFileInfo(benchmark::State& state) {
  static auto logger = plainLogger("plain-info");
  const std::string text = kMessage.toStdString();
  for (auto _ : state) logger->info("{}", text);
  state.SetItemsProcessed(state.iterations());
  logger->flush();
}

void SpdlogFileError(benchmark::State& state) {
  static auto logger = plainLogger("plain-error");
  const std::string text = kMessage.toStdString();
  for (auto _ : state) logger->error("{}", text);
  state.SetItemsProcessed(state.iterations());
}

// spdlog's own asynchronous logger: what an information call costs there.
void SpdlogAsyncFileInfo(benchmark::State& state) {
  static auto logger = spdlog::basic_logger_mt<spdlog::async_factory>(
      "async-info", g_folder + "/async-info.log");
  const std::string text = kMessage.toStdString();
  for (auto _ : state) logger->info("{}", text);
  state.SetItemsProcessed(state.iterations());
  logger->flush();
}

}  // namespace

BENCHMARK(ZuvoInfo)->UseRealTime();
BENCHMARK(ZuvoInfoWritten)->UseRealTime();
BENCHMARK(ZuvoError)->UseRealTime();
BENCHMARK(SpdlogFileInfo)->UseRealTime();
BENCHMARK(SpdlogFileError)->UseRealTime();
BENCHMARK(SpdlogAsyncFileInfo)->UseRealTime();

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/zuvo-log-bench-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) return 1;
  g_folder = folder;
  setenv("XDG_DATA_HOME", folder.c_str(), 1);
  zuvo::LogOptions options;
  options.systemLog = false;
  options.console = false;
  zuvo::setupLog(zuvo::paths::logsFolder(), QStringLiteral("com.roza.zuvoeditor"), QStringLiteral("ZuvoEditor"), options);

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  zuvo::flushLog();
  spdlog::shutdown();
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
