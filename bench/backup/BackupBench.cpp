// The backup of a closed document's folder against 7-Zip's AES-256 zip on the same folders.
#include "editor/BackupArchive.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <map>
#include <memory>
#include <random>

namespace {

const QByteArray kPassword = "Kavrel902476";
constexpr qint64 kMiB = 1 << 20;

// Documents of 64 KiB to 2 MiB: half compressible text, half random bytes (as in images
// and office files, which are compressed already).
void fillFolder(const QString& folder, qint64 bytes) {
  QDir().mkpath(folder + "/media");
  std::mt19937_64 rng(bytes);
  static const char* words[] = {"patient", "letter", "diagnosis", "therapy", "Dr.", "the",
                                "of", "and", "follow-up", "2024", "blood", "pressure"};
  qint64 written = 0;
  for (int i = 0; written < bytes; ++i) {
    const qint64 size = std::min<qint64>(bytes - written, 64 * 1024 + qint64(rng() % (2 * kMiB)));
    QByteArray data;
    data.reserve(size);
    const bool text = i % 2 == 0;
    while (data.size() < size) {
      if (text) {
        data += words[rng() % std::size(words)];
        data += rng() % 12 == 0 ? '\n' : ' ';
      } else {
        const quint64 r = rng();
        data.append(reinterpret_cast<const char*>(&r), sizeof r);
      }
    }
    data.truncate(size);
    QFile f(folder + (text ? QString("/doc%1.txt").arg(i) : QString("/media/img%1.jpg").arg(i)));
    f.open(QIODevice::WriteOnly);
    f.write(data);
    written += size;
  }
}

QTemporaryDir& workDir() {
  static QTemporaryDir dir(QDir::tempPath() + "/bench-backup-XXXXXX");
  return dir;
}

QString folderOf(qint64 mib) {
  static std::map<qint64, QString> made;
  auto it = made.find(mib);
  if (it != made.end()) return it->second;
  const QString folder = workDir().path() + QString("/docs%1").arg(mib);
  fillFolder(folder, mib * kMiB);
  return made[mib] = folder;
}

void BM_EditorBackup(benchmark::State& state) {
  const QString folder = folderOf(state.range(0));
  const QString archive = workDir().path() + "/editor.zip";
  for (auto _ : state) {
    QString error;
    if (!zuvo::backup::writeFolderArchive(folder, archive, kPassword, &error)) {
      state.SkipWithError(error.toStdString().c_str());
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * kMiB);
  state.counters["archive_MiB"] = double(QFileInfo(archive).size()) / kMiB;
}

void BM_SevenZip(benchmark::State& state) {
  const QString folder = folderOf(state.range(0));
  const QString archive = workDir().path() + "/7z.zip";
  for (auto _ : state) {
    QFile::remove(archive);
    QProcess p;
    p.setWorkingDirectory(folder);
    p.start("7z", {"a", "-tzip", "-mem=AES256", "-p" + kPassword, "-bso0", "-bsp0", archive, "."});
    if (!p.waitForFinished(-1) || p.exitCode() != 0) {
      state.SkipWithError("7z failed");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * state.range(0) * kMiB);
  state.counters["archive_MiB"] = double(QFileInfo(archive).size()) / kMiB;
}

BENCHMARK(BM_EditorBackup)->Arg(1)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SevenZip)->Arg(1)->Arg(20)->Arg(200)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
