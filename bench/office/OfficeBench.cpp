// How long a letter takes from the editor's notification until it is open in LibreOffice with
// its placeholders filled (the editor's "Replacing placeholders completed"), with LibreOffice
// not running yet (a new profile, then an existing one) and running; and the resident memory
// of ZuvoWriterBridge and of LibreOffice meanwhile. Real editor, bridge and LibreOffice
// (headless), the fake document server.
#include "editor/GlobalData.h"

#include "support/EditorProcess.h"
#include "support/FakeDocumentServer.h"
#include "support/TestSupport.h"
#include "support/WriterSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <vector>

using namespace zuvo::test;
using namespace std::chrono_literals;

namespace {

FakeDocumentServer* server = nullptr;
EditorProcess* editor = nullptr;
QByteArray letter;

// Milliseconds from the notification to the filled letter; -1 when it never came.
double openLetter(const QString& token) {
  const QString name = "Brief_" + token + ".docx";
  server->route("GET /docs/" + name, FakeReply{.body = letter});
  QElapsedTimer t;
  t.start();
  EditorProcess::post({{"action", "DownloadDoc"},
                       {"download_url", server->url("/docs/" + name)},
                       {"upload_url", server->url("/")},
                       {"placeholder_url", server->url("/ph.xml")},
                       {"is_new_doc", "0"}});
  if (!editor->waitForOutput(name + " : Replacing placeholders completed", 120s)) return -1;
  return double(t.nsecsElapsed()) / 1e6;
}

bool closeLetter(const QString& token) {
  const QString folder = GlobalData::sharedGlobalData().getDocumentDownloadPath() + token;
  return officeUser({"close", folder + "/Brief_" + token + ".docx"}) == 0 &&
         waitUntil([&] { return !QFile::exists(folder); }, 30s);
}

void stopOffice() {
  stopWriterBridge();
  if (const qint64 pid = officePid()) {
    ::kill(pid_t(pid), SIGKILL);
    waitUntil([pid] { return !QFile::exists(QString("/proc/%1").arg(pid)); });
  }
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int warmRuns = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
  const QString letters = makeTempDir("letters");
  runProgram("/usr/bin/python3", {sourcePath("tests/writer_bridge/make_letter.py"), letters + "/l.docx",
                                  "Dear <<Na|me>>,", "Greetings from <<City>>."});
  letter = readFile(letters + "/l.docx");
  FakeDocumentServer documentServer;
  EditorProcess editorProcess;
  server = &documentServer;
  editor = &editorProcess;
  documentServer.route("GET /ph.xml", FakeReply{.body = "<l><Name>Ann Smith</Name><City>Bern</City></l>"});
  documentServer.route("POST /plugin/upload.php", QList<FakeReply>(10, FakeReply{}));
  editorProcess.environment().insert("ZUVO_OFFICE_HEADLESS", "1");
  editorProcess.environment().insert("XDG_DATA_DIRS", makeTempDir("no-apps"));
  if (!installWriterEntry() || !documentServer.start() || !editorProcess.start()) {
    std::fprintf(stderr, "could not start the editor and the document server\n");
    return 1;
  }

  const double coldNew = openLetter("COLDA");
  const qint64 bridgeStart = residentKb(writerBridgePid());
  closeLetter("COLDA");
  stopOffice();
  const double cold = openLetter("COLDB");
  closeLetter("COLDB");

  std::vector<double> warm;
  qint64 bridgePeak = 0, officeOpen = 0;
  for (int i = 0; i < warmRuns; ++i) {
    const QString token = QString("WARM%1").arg(i);
    warm.push_back(openLetter(token));
    bridgePeak = std::max(bridgePeak, residentKb(writerBridgePid()));
    officeOpen = std::max(officeOpen, residentKb(officePid()));
    closeLetter(token);
  }
  const qint64 bridgeEnd = residentKb(writerBridgePid());
  const qint64 officeIdle = residentKb(officePid());
  std::sort(warm.begin(), warm.end());

  std::printf("notification to filled letter (2 placeholders, .docx):\n");
  std::printf("  LibreOffice not running, new profile:      %8.0f ms\n", coldNew);
  std::printf("  LibreOffice not running, existing profile: %8.0f ms\n", cold);
  std::printf("  LibreOffice running (%d letters): median %.0f ms, min %.0f ms, max %.0f ms\n", warmRuns,
              warm[warm.size() / 2], warm.front(), warm.back());
  std::printf("resident memory:\n");
  std::printf("  ZuvoWriterBridge: %lld kB after the first letter, %lld kB peak, %lld kB at the end\n",
              static_cast<long long>(bridgeStart), static_cast<long long>(bridgePeak),
              static_cast<long long>(bridgeEnd));
  std::printf("  soffice.bin: %lld kB peak with a letter open, %lld kB after the last one closed\n", static_cast<long long>(officeOpen),
              static_cast<long long>(officeIdle));
  stopOffice();
  return coldNew < 0 || cold < 0 || warm.front() < 0 ? 1 : 0;
}
