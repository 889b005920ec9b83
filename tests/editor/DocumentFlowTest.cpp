// The document flow's decisions by tables: each case is a script of what happens around one
// document (saves, closing, answers of the server, the backup, timers) and the trace of what
// the flow asked for. No files, network or database: the services are a small fake world.
#include "editor/DocumentFlow.h"

#include <gtest/gtest.h>

#include <QStringList>
#include <cmath>
#include <deque>

using namespace zuvo::flow;
using namespace std::chrono_literals;

namespace {

Time at(double seconds) { return Time(std::llround(seconds * 1e9)); }
QString secs(Time t) { return QString::number(double(t.count()) / 1e9, 'f', 1); }

struct World {
  int entries = 2;  // the document and its lock file
  std::optional<Time> file = at(100);
  QList<QDateTime> stored{QDateTime::fromSecsSinceEpoch(100)};
  bool reachable = true;
  bool uploading = false;
  std::deque<std::pair<Time, std::function<void(const SendResult&)>>> sends;
  std::deque<std::function<void(bool, const QString&)>> reports;
  std::deque<std::function<void(const QString&)>> backups;
  std::deque<std::function<void()>> timers;
  QStringList trace;

  Services services() {
    Services s;
    s.folderEntries = [this] { return entries; };
    s.fileTime = [this](QString* error) {
      if (!file) *error = "gone";
      return file;
    };
    s.record = [] {};
    s.storedDates = [this](QString*) { return std::optional(stored); };
    s.reachable = [this] { return reachable; };
    s.notifyUser = [](const QString&, const QString&) {};
    s.sendSave = [this](std::function<void(const SendResult&)> done) {
      trace << "send " + secs(*file);
      sends.emplace_back(*file, std::move(done));
    };
    s.recordUpload = [this](Time sent) { stored = {QDateTime::fromMSecsSinceEpoch(sent.count() / 1'000'000)}; };
    s.sendStatus = [this](const QString& status, std::function<void(bool, const QString&)> done) {
      trace << "report " + status;
      reports.push_back(std::move(done));
    };
    s.closeWindow = [] {};
    s.backUp = [this](std::function<void(const QString&)> done) {
      trace << "backup";
      backups.push_back(std::move(done));
    };
    s.stopWatching = [this] { trace << "stop"; };
    s.alert = [this](const QString& message, const QString& informative) {
      trace << "alert " + (message.isEmpty() ? informative : message).section(' ', 0, 3);
    };
    s.later = [this](std::chrono::milliseconds delay, std::function<void()> fn) {
      trace << QString("later %1s").arg(delay.count() / 1000);
      timers.push_back(std::move(fn));
    };
    s.log = [](bool, const QString&) {};
    return s;
  }
};

template <typename T>
T take(std::deque<T>& queue) {
  EXPECT_FALSE(queue.empty());
  T front = std::move(queue.front());
  queue.pop_front();
  return front;
}

// One step of a script:
//   "save S"   the file is saved with the time S (seconds) and a batch follows
//   "close"    the word processor closes it (the lock file goes) and a batch follows
//   "batch"    a batch without a change
//   "ok" / "fail"                 the oldest upload is answered
//   "report ok" / "report fail"   the oldest status report is answered
//   "backed"   the backup is written     "timer"  the oldest timer fires
//   "offline" / "online"          the network goes away or comes back
//   "finish"   the editor is asked to finish; "finished" is traced when the flow is done
void run(World& w, DocumentFlow& flow, const QString& step) {
  const QStringList words = step.split(' ');
  if (words[0] == "save") {
    w.file = at(words[1].toDouble());
    flow.changed();
  } else if (step == "close") {
    w.entries = 1;
    flow.changed();
  } else if (step == "batch") {
    flow.changed();
  } else if (step == "ok" || step == "fail") {
    auto [sent, done] = take(w.sends);
    done({sent, step == "ok", step == "ok" ? QString() : "Request failed: 500"});
  } else if (step == "report ok" || step == "report fail") {
    take(w.reports)(step == "report ok", step == "report ok" ? QString() : "Request failed: 503");
  } else if (step == "backed") {
    take(w.backups)("Backup/ABC123.zip");
  } else if (step == "timer") {
    take(w.timers)();
  } else if (step == "finish") {
    flow.finish([&w] { w.trace << "finished"; });
  } else if (step == "offline" || step == "online") {
    w.reachable = step == "online";
  } else {
    ADD_FAILURE() << "unknown step " << step.toStdString();
  }
}

struct Case {
  const char* name;
  QStringList script;
  QStringList trace;
};

const Case kCases[] = {
    {"a save during an upload goes up next, then the close waits for the last one",
     {"save 105", "save 107", "ok", "report ok", "close", "ok", "backed", "report ok"},
     {"send 105.0", "report upload", "send 107.0", "backup", "report close", "stop"}},
    {"a failed last upload is tried once more at the close, then the user hears where it is",
     {"save 105", "fail", "close", "fail", "backed", "report ok"},
     {"send 105.0", "alert An error occurred while", "later 10s", "send 105.0", "backup", "report close",
      "alert The last changes of", "stop"}},
    {"a failed upload is retried by its timer while the document is open",
     {"save 105", "fail", "timer", "ok", "report ok"},
     {"send 105.0", "alert An error occurred while", "later 10s", "send 105.0", "report upload"}},
    {"retries grow and stop after three",
     {"save 105", "fail", "timer", "fail", "timer", "fail", "timer", "fail"},
     {"send 105.0", "alert An error occurred while", "later 10s", "send 105.0", "later 30s", "send 105.0",
      "later 90s", "send 105.0"}},
    {"a batch without a newer save sends nothing again after a failure",
     {"save 105", "fail", "batch"},
     {"send 105.0", "alert An error occurred while", "later 10s"}},
    {"offline: nothing is sent, the next save tries again",
     {"offline", "save 105", "online", "save 106", "ok", "report ok"},
     {"alert The internet connection appears", "send 106.0", "report upload"}},
    {"a save within a second of the opening is the user's",
     {"save 100.3", "ok", "report ok"},
     {"send 100.3", "report upload"}},
    {"save and close in one batch: the save goes up first, no report of it, then the close",
     {"save 105", "close", "ok", "backed", "report ok"},
     {"send 105.0", "backup", "report close", "stop"}},
    {"batches while the backup is written change nothing; a failed close report keeps watching",
     {"close", "batch", "save 120", "backed", "report fail"},
     {"backup", "report close"}},
    {"asked to finish with nothing unsent: done at once", {"finish"}, {"finished"}},
    {"asked to finish after a failed save: it goes up once more, then done",
     {"save 105", "fail", "finish", "fail"},
     {"send 105.0", "alert An error occurred while", "later 10s", "send 105.0", "later 30s", "finished"}},
    {"asked to finish during an upload: done once it and its report have ended",
     {"save 105", "finish", "ok", "report ok"},
     {"send 105.0", "report upload", "finished"}},
    {"asked to finish while the closed letter is backed up: done once the backup is",
     {"close", "finish", "backed", "report ok"},
     {"backup", "report close", "finished", "stop"}},
    {"a failed upload report does not stop the next save",
     {"save 105", "ok", "report fail", "save 110", "ok", "report ok"},
     {"send 105.0", "report upload", "send 110.0", "report upload"}},
};

TEST(DocumentFlow, DecisionsFollowTheScript) {
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    World w;
    DocumentFlow flow("Letter_ABC123.docx", w.services(), w.uploading);
    flow.opened(at(100));
    for (const QString& step : c.script) run(w, flow, step);
    EXPECT_EQ(w.trace, c.trace) << w.trace.join(" | ").toStdString();
    EXPECT_TRUE(w.sends.empty() && w.reports.empty() && w.backups.empty()) << "everything asked was answered";
  }
}

// The upload flag is the controller's: set while an upload runs, clear once it has ended.
TEST(DocumentFlow, UploadFlagCoversTheUploadAndItsReport) {
  World w;
  DocumentFlow flow("Letter_ABC123.docx", w.services(), w.uploading);
  flow.opened(at(100));
  run(w, flow, "save 105");
  EXPECT_TRUE(w.uploading);
  run(w, flow, "ok");
  EXPECT_TRUE(w.uploading) << "until the report is answered";
  run(w, flow, "report fail");
  EXPECT_FALSE(w.uploading);
}

}  // namespace
