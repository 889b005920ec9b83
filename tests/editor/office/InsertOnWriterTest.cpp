// The placeholder insertion window's Insert into a template open in the real LibreOffice
// (through ZuvoWriterBridge, headless): the tag replaces the user's selection.
#include "editor/PlaceHolderWindowController.h"
#include "platform/core/TestHooks.h"

#include "support/FakeDocumentServer.h"
#include "support/TestSupport.h"
#include "support/WriterSession.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QProcess>
#include <QPushButton>

#include <csignal>

using namespace zuvo::test;
using namespace std::chrono_literals;

TEST(InsertOnWriter, InsertTypesTheTagOverTheSelection) {
  ASSERT_TRUE(installWriterEntry());
  qputenv("XDG_DATA_DIRS", makeTempDir("no-apps").toUtf8());
  qputenv("ZUVO_OFFICE_HEADLESS", "1");
  FakeDocumentServer server;
  server.route("/list.xml", FakeReply{200, {}, "<l><a>Patient Name</a><b>City</b></l>"});
  ASSERT_TRUE(server.start());
  const QString doc = makeTempDir("doc") + "/Template_T1.docx";
  ASSERT_EQ(runProgram("/usr/bin/python3", {sourcePath("tests/writer_bridge/make_letter.py"), doc, "Dear X,"}), 0);

  ASSERT_TRUE(QProcess::startDetached(writerBridgeProgram(), {doc}));
  QByteArray text;
  ASSERT_TRUE(waitUntil([&] { return officeUser({"text", doc}, &text) == 0; }, 90s));
  ASSERT_EQ(runProgram("/usr/bin/python3", {sourcePath("tests/writer_bridge/office_probe.py"), officePipe(), "select",
                                            doc, "X"}),
            0);

  PlaceHolderWindowController controller;
  auto info = std::make_shared<DocInfo>();
  info->xml_path = server.url("/list.xml");
  info->is_template_doc = true;
  controller.setDocInfo(info);
  controller.window();
  ASSERT_EQ(controller.placeholderButton->count(), 2);
  controller.placeholderButton->setCurrentIndex(controller.placeholderButton->findText("Patient Name"));
  controller.insertButton->click();
  ASSERT_EQ(officeUser({"text", doc}, &text), 0) << "office " << officePid() << " bridge " << writerBridgePid();
  EXPECT_TRUE(text.startsWith("Dear <<Patient Name>>,")) << text.constData();

  controller.placeholderButton->setCurrentIndex(controller.placeholderButton->findText("City"));
  controller.insertButton->click();
  ASSERT_EQ(officeUser({"text", doc}, &text), 0);
  EXPECT_TRUE(text.startsWith("Dear <<Patient Name>><<City>>,")) << text.constData();

  stopWriterBridge();
  if (const qint64 pid = officePid()) ::kill(pid_t(pid), SIGKILL);
}
