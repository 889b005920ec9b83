// Soak of the editor's document flow: 20 letters open in the fake word processor, a few hundred
// saves and closes at random moments, a document server that refuses, stalls and drops a
// share of the requests, and the editor killed and started again twice. At the end every
// save must be on the server (an upload it accepted) or in a backup archive; the run prints
// the counts and names each save that is in neither. Run it under tests/isolate:
//   tests/isolate build/bench/soak/editor_soak [seed] [editor log file]
#include "editor/GlobalData.h"
#include "platform/fs/Paths.h"

#include "support/EditorProcess.h"
#include "support/FakeDocumentServer.h"
#include "support/FakeWordProcessor.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QMap>
#include <QPair>
#include <QSet>

#include <csignal>
#include <algorithm>
#include <cstdio>
#include <random>
#include <sys/types.h>

using namespace zuvo::test;
using namespace std::chrono_literals;

namespace {

constexpr int kLetters = 20;
constexpr int kActions = 400;
constexpr int kHttpTimeoutMs = 6000;
const QByteArray kPassword = "-pKavrel902476";
const QByteArray kBoundary = "--" + QByteArray(27, '-') + "14737809831466499882746641449";

struct Save {
  int letter;
  int session;  // the how-manieth opening of the letter in the word processor
  int number;
  int editorRun;  // which start of the editor was running when it was saved
  QByteArray bytes;
  QString time;  // when, to find it in the editor's log
};

QString now() { return QDateTime::currentDateTime().toString("HH:mm:ss.zzz"); }

QString token(int i) { return QString("S%1").arg(i, 2, 10, QChar('0')); }
QString fileName(int i) { return "Letter_" + token(i) + ".docx"; }
QString documentPath(int i) {
  return GlobalData::sharedGlobalData().getDocumentDownloadPath() + token(i) + "/" + fileName(i);
}

// A share of the answers refuse, stall (short, or past the client's time-out) or drop.
QList<FakeReply> serverMood(std::mt19937& rng) {
  QList<FakeReply> replies;
  for (int i = 0; i < 4000; ++i) {
    const int r = int(rng() % 100);
    if (r < 60)
      replies << FakeReply{};
    else if (r < 72)
      replies << FakeReply{.status = r % 2 ? 500 : 503};
    else if (r < 82)
      replies << FakeReply{.delaySeconds = 1 + double(rng() % 2000) / 1000};
    else if (r < 90)
      replies << FakeReply{.delaySeconds = 9};  // the editor gives up at 6 s
    else
      replies << FakeReply{.drop = true};
  }
  replies << FakeReply{};
  return replies;
}

QByteArray saveBytes(std::mt19937& rng, const Save& s) {
  QByteArray b = QString("%1 session %2 save %3\n").arg(token(s.letter)).arg(s.session).arg(s.number).toUtf8();
  if (s.number % 5 == 4) {  // now and then a zip-based document, which the backup stores
    b.prepend("PK\x03\x04");
    for (int i = int(rng() % 40000); i > 0; --i) b += char(rng());
  } else {
    for (int i = int(rng() % 400); i > 0; --i) b += "Blood pressure 120/80, follow-up in two weeks. ";
  }
  return b;
}

// The file bytes of every upload the server answered with success in time.
QSet<QByteArray> acceptedUploads(const QString& journal, int* uploads, int* refused, QSet<QByteArray>* tried) {
  QSet<QByteArray> out;
  for (const QJsonObject& o : readJsonLines(journal)) {
    if (o["path"].toString() != "/plugin/upload.php") continue;
    const QByteArray body = QByteArray::fromBase64(o["body_base64"].toString().toLatin1());
    if (!body.startsWith("\r\n" + kBoundary)) continue;
    ++*uploads;
    const qsizetype start = body.indexOf("\r\n\r\n") + 4;
    const QByteArray tail = "\r\n" + kBoundary + "--\r\n";
    const QByteArray file = body.mid(start, body.size() - start - tail.size());
    tried->insert(file);
    const QJsonObject reply = o["reply"].toObject();
    if (reply["drop"].toBool() || reply["status"].toInt() / 100 != 2 || reply["delay"].toDouble() * 1000 >= kHttpTimeoutMs) {
      ++*refused;
      continue;
    }
    out.insert(file);
  }
  return out;
}

// Every file in every archive (opened with 7z) and in every folder under `folder`.
QSet<QByteArray> keptFiles(const QString& folder, int* archives) {
  QSet<QByteArray> out;
  const QString scratch = makeTempDir("soak-extract");
  int n = 0;
  for (QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
    const QString path = it.next();
    if (!path.endsWith(".zip")) {
      out.insert(readFile(path));
      continue;
    }
    ++*archives;
    const QString into = scratch + "/" + QString::number(++n);
    if (runProgram("7z", {"x", "-y", kPassword, "-o" + into, path}) != 0)
      std::printf("  archive %s does not open with 7z\n", qPrintable(path));
    for (QDirIterator e(into, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); e.hasNext();)
      out.insert(readFile(e.next()));
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const unsigned seed = argc > 1 ? unsigned(std::stoul(argv[1])) : std::random_device{}();
  std::printf("seed %u\n", seed);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::mt19937 rng(seed);

  FakeWordProcessor word{{.lock = "office"}};
  FakeDocumentServer server;
  EditorProcess editor;
  const QString noApps = makeTempDir("no-apps");
  editor.environment().insert("XDG_DATA_DIRS", noApps);
  editor.environment().insert("ZUVO_HTTP_TIMEOUT_MS", QString::number(kHttpTimeoutMs));
  qputenv("XDG_DATA_DIRS", noApps.toUtf8());
  for (int i = 0; i < kLetters; ++i)
    server.route("GET /docs/" + fileName(i), FakeReply{.body = "letter " + token(i).toUtf8() + " as downloaded\n"});
  server.route("POST /plugin/upload.php", serverMood(rng));
  if (!word.start() || !server.start() || !editor.start()) {
    std::printf("the word processor, the server or the editor did not start\n");
    return 2;
  }
  // The editor's console, kept for a look at what happened to a lost save.
  const QString logPath = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::tempPath() + "/editor-soak.log";
  QFile log(logPath);
  log.open(QIODevice::WriteOnly | QIODevice::Truncate);
  auto drainLog = [&] {
    static qsizetype written = 0;
    const QByteArray all = editor.output().toUtf8();
    log.write(all.mid(written));
    log.flush();
    written = all.size();
  };

  int editorRun = 1, killed = 0, closes = 0, opens = 0;
  std::vector<int> session(kLetters, 0), saveCount(kLetters, 0);
  std::vector<bool> open(kLetters, false);
  QList<Save> saves;
  // The editor runs in which each opening of a letter began and ended.
  QMap<QPair<int, int>, QPair<int, int>> sessionRuns;
  auto request = [&](int i) {
    EditorProcess::post({{"action", "DownloadDoc"},
                         {"download_url", server.url("/docs/" + fileName(i))},
                         {"upload_url", server.url("/")},
                         {"is_new_doc", "1"}});
    ++opens;
    open[i] = true;
    ++session[i];
    sessionRuns[{i, session[i]}] = {editorRun, 0};
    std::printf("%s %s opening %d requested\n", qPrintable(now()), qPrintable(token(i)), session[i]);
  };
  auto closeInWord = [&](int i) {
    word.close(documentPath(i));
    open[i] = false;
    ++closes;
    sessionRuns[{i, session[i]}].second = editorRun;
    std::printf("%s %s opening %d closed\n", qPrintable(now()), qPrintable(token(i)), session[i]);
  };
  auto isOpenInWord = [&](int i) { return word.documents().contains(documentPath(i)); };

  for (int i = 0; i < kLetters; ++i) request(i);
  waitUntil([&] { return word.documents().size() == kLetters; }, 60s);
  drainLog();

  for (int action = 0; action < kActions; ++action) {
    if (action == kActions / 3 || action == 2 * kActions / 3) {
      // Killed in the middle of whatever it does; only the process this run started.
      std::printf("%s editor killed\n", qPrintable(now()));
      ::kill(pid_t(editor.pid()), SIGKILL);
      waitUntil([&] { return !editor.isRunning(); }, 10s);
      drainLog();
      ++killed;
      if (!editor.start()) {
        std::printf("the editor did not start again\n");
        return 2;
      }
      ++editorRun;
    }
    const int i = int(rng() % kLetters);
    if (!open[i]) {
      request(i);
    } else if (isOpenInWord(i)) {
      if (rng() % 100 < 15) {
        closeInWord(i);
      } else {
        Save s{i, session[i], ++saveCount[i], editorRun, {}, now()};
        s.bytes = saveBytes(rng, s);
        if (writeFile(documentPath(i), s.bytes)) saves << s;
      }
    }
    spin(std::chrono::milliseconds(rng() % 400));
    drainLog();
  }

  // The user closes everything, once the letters requested last are open (a request waits
  // for the closing steps of the letter's previous opening); the editor gets time for the last
  // uploads, their retries and the backups, and one more ordinary start for what a killed run
  // left behind.
  waitUntil([&] {
    drainLog();
    for (int i = 0; i < kLetters; ++i)
      if (open[i] && !isOpenInWord(i)) return false;
    return true;
  }, 60s);
  for (int i = 0; i < kLetters; ++i)
    if (open[i] && isOpenInWord(i)) closeInWord(i);
  const QString documents = GlobalData::sharedGlobalData().getDocumentDownloadPath();
  // Quiet: no folder left, or no request to the server for 20 s.
  auto settle = [&] {
    qsizetype requests = -1;
    QElapsedTimer same;
    waitUntil([&] {
      drainLog();
      const qsizetype now = QFileInfo(server.journalPath()).size();
      if (now != requests) {
        requests = now;
        same.start();
      }
      return QDir(documents).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty() || same.elapsed() > 20'000;
    }, 300s);
    spin(3s);
  };
  for (int round = 0; round < 2; ++round) {
    settle();
    drainLog();
    editor.stop();
    drainLog();
    if (round == 0 && !editor.start()) break;
  }

  for (QDirIterator it(zuvo::paths::logsFolder(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
    const QString file = it.next();
    log.write("\n==== " + QFile::encodeName(file) + "\n" + readFile(file));
  }
  log.close();

  int uploads = 0, refused = 0, archives = 0;
  QSet<QByteArray> tried;
  const QSet<QByteArray> onServer = acceptedUploads(server.journalPath(), &uploads, &refused, &tried);
  const QSet<QByteArray> inBackup = keptFiles(GlobalData::sharedGlobalData().getBackupDocumentPath(), &archives);
  int uploaded = 0, backupOnly = 0, superseded = 0, lost = 0;
  for (int k = 0; k < saves.size(); ++k) {
    const Save& s = saves[k];
    const bool last = k + 1 == saves.size() || std::none_of(saves.begin() + k + 1, saves.end(), [&](const Save& t) {
      return t.letter == s.letter && t.session == s.session;
    });
    if (onServer.contains(s.bytes)) {
      ++uploaded;
    } else if (inBackup.contains(s.bytes)) {
      ++backupOnly;
    } else if (!last) {
      ++superseded;  // a newer save of the same open document followed
    } else {
      ++lost;
      const bool leftOver = QFile::exists(documentPath(s.letter)) && readFile(documentPath(s.letter)) == s.bytes;
      const QPair<int, int> runs = sessionRuns.value({s.letter, s.session});
      std::printf("  LOST %s opening %d save %d at %s: opened in editor run %d, saved in run %d, closed in run %d; %s%s\n",
                  qPrintable(token(s.letter)), s.session, s.number, qPrintable(s.time), runs.first, s.editorRun, runs.second,
                  tried.contains(s.bytes) ? "its upload was refused" : "never sent",
                  leftOver ? "; only in the left-over documents folder" : "");
    }
  }
  std::printf("letters %d, openings %d, closes %d, editor killed %d times\n", kLetters, opens, closes, killed);
  std::printf("saves %lld: on the server %d, only in a backup %d, superseded by a later save %d, lost %d\n",
              qlonglong(saves.size()), uploaded, backupOnly, superseded, lost);
  std::printf("upload requests %d (%d refused, stalled past the time-out or dropped), archives %d\n", uploads,
              refused, archives);
  std::printf("left-over document folders %lld; editor log %s\n",
              qlonglong(QDir(documents).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()), qPrintable(logPath));
  return lost == 0 ? 0 : 1;
}
