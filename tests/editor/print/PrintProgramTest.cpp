// Print requests sent to the real ZuvoEditor over the session bus, as the bridge sends them.
#include "support/EditorProcess.h"
#include "support/FakeDocumentServer.h"
#include "support/FakeWordProcessor.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace zuvo::test;

namespace {

QString tmpPath(const QString& name) { return editorDataFolder() + "/tmp/" + name; }
QStringList tmpNames() { return QDir(editorDataFolder() + "/tmp").entryList(QDir::Files, QDir::Name); }

void serve(FakeDocumentServer& server, const QString& path, double delay) {
  server.route(path, FakeReply{.body = path.toUtf8(), .delaySeconds = delay});
}

}  // namespace

TEST(PrintProgram, PrintRequestPrintsItsDocumentsAndLogsFailuresToTheSystemLog) {
  FakeDocumentServer server;
  FakeWordProcessor word;
  serve(server, "/p/one.docx", 0);
  serve(server, "/p/two.pdf", 0.3);
  ASSERT_TRUE(server.start());
  EditorProcess editor;
  ASSERT_TRUE(editor.start());

  EditorProcess::post({{"action", "PrintDoc"},
                       {"file_path", QStringList{server.url("/p/one.docx"), server.url("/p/two.pdf")}}});
  ASSERT_TRUE(waitUntil([&] { return !word.printRequests().isEmpty(); }, std::chrono::seconds(20)));
  EXPECT_EQ(word.printRequests(), (QList<QStringList>{{tmpPath("one.docx"), tmpPath("two.pdf")}}));

  EditorProcess::post({{"action", "PrintDoc"}, {"file_path", QStringList{server.url("/p/gone.docx")}}});
  EXPECT_TRUE(editor.waitForOutput("Error while downloading document : ")) << editor.output().toStdString();
  EXPECT_TRUE(tmpNames().isEmpty());
  EXPECT_EQ(word.printRequests().size(), 1);
  EXPECT_TRUE(editor.isRunning());
}

TEST(PrintProgram, SecondRequestWhileTheFirstDownloadsEmptiesTheFolderFirst) {
  FakeDocumentServer server;
  FakeWordProcessor word;
  serve(server, "/first/slow.docx", 3.0);
  serve(server, "/first/fast.docx", 0);
  serve(server, "/second/next.docx", 0);
  ASSERT_TRUE(server.start());
  EditorProcess editor;
  ASSERT_TRUE(editor.start());

  EditorProcess::post({{"action", "PrintDoc"},
                       {"file_path", QStringList{server.url("/first/slow.docx"), server.url("/first/fast.docx")}}});
  ASSERT_TRUE(waitUntil([] { return QFileInfo::exists(tmpPath("fast.docx")); }));
  EditorProcess::post({{"action", "PrintDoc"}, {"file_path", QStringList{server.url("/second/next.docx")}}});

  ASSERT_TRUE(waitUntil([&] { return !word.printRequests().isEmpty(); }, std::chrono::seconds(20)));
  EXPECT_EQ(word.printRequests().first(), QStringList{tmpPath("next.docx")});
  EXPECT_FALSE(QFileInfo::exists(tmpPath("fast.docx")));
  // The replaced request still finishes its own download.
  EXPECT_TRUE(waitUntil([] { return QFileInfo::exists(tmpPath("slow.docx")); }, std::chrono::seconds(20)));
  EXPECT_TRUE(editor.isRunning());
}
