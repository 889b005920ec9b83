// Token folders in use by a request: a request that comes while the folder's document is being
// backed up at its close waits for the backup, and a folder the backup left behind is kept in
// an archive before the request goes on.
#include "editor/DocumentFolders.h"

#include "editor/GlobalData.h"
#include "platform/core/TestHooks.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <optional>

using namespace std::chrono_literals;

namespace {

TEST(DocumentFolders, RequestDuringTheClosingBackupWaitsForIt) {
  zuvo::testhooks::setAlertLogFile(zuvo::test::makeTempDir() + "/alerts.jsonl");
  const GlobalData& data = GlobalData::sharedGlobalData();
  ASSERT_TRUE(QDir().mkpath(data.getBackupDocumentPath()));
  struct Case {
    const char* token;
    bool backupRemovedTheFolder;
    bool closedUnseen;  // asked for after the close, before the watcher's batch shows it
  } cases[] = {{"W1", true, false}, {"W2", false, false}, {"W3", true, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.token);
    const QString folder = QDir::cleanPath(data.getDocumentDownloadPath() + "/" + c.token);
    zuvo::folders::useFolder(c.token, folder, [](bool) {});  // the letter's first request, downloaded
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(zuvo::test::writeFile(folder + "/Letter.docx", "closed letter"));
    if (c.closedUnseen)
      zuvo::folders::folderSeenOpen(c.token);
    else
      zuvo::folders::beginClosingBackup(c.token);

    std::optional<bool> again;
    zuvo::folders::useFolder(c.token, folder, [&](bool usable) { again = usable; });
    zuvo::test::spin(200ms);
    EXPECT_FALSE(again) << "waits for the backup";
    if (c.closedUnseen) zuvo::folders::beginClosingBackup(c.token);
    if (c.backupRemovedTheFolder) {
      ASSERT_TRUE(QDir(folder).removeRecursively());
    }
    zuvo::folders::endClosingBackup(c.token);
    ASSERT_TRUE(zuvo::test::waitUntil([&] { return again.has_value(); }));
    EXPECT_TRUE(*again);
    EXPECT_FALSE(QFile::exists(folder)) << "the request starts with no old copy";
    if (!c.backupRemovedTheFolder) {
      QByteArray out;
      ASSERT_EQ(zuvo::test::runProgram("7z", {"x", "-so", "-pKavrel902476", zuvo::folders::archivePathFor(c.token)}, &out),
                0);
      EXPECT_EQ(out, "closed letter");
    }
    zuvo::folders::releaseFolder(c.token);
  }
  zuvo::testhooks::setAlertLogFile({});
}

}  // namespace
