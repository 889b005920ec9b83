// The placeholder insertion window, offscreen, against the fake document server and the fake
// word processor.
#include "editor/PlaceHolderWindowController.h"
#include "platform/core/TestHooks.h"
#include "editor/WordScripts.h"

#include "support/FakeDocumentServer.h"
#include "support/FakeWordProcessor.h"
#include "support/JsonLines.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QWidget>

using zuvo::test::FakeDocumentServer;
using zuvo::test::FakeReply;
using zuvo::test::FakeWordProcessor;

namespace {

struct Window {
  PlaceHolderWindowController controller;
  explicit Window(const QString& xmlPath) {
    auto info = std::make_shared<DocInfo>();
    info->xml_path = xmlPath;
    info->is_template_doc = true;
    controller.setDocInfo(info);
  }
  QStringList items() {
    QStringList out;
    for (int i = 0; i < controller.placeholderButton->count(); ++i) out << controller.placeholderButton->itemText(i);
    return out;
  }
};

class PlaceHolderWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    alertLog_ = zuvo::test::makeTempDir("alerts") + "/alerts.jsonl";
    zuvo::testhooks::setAlertLogFile(alertLog_);
  }
  void TearDown() override { zuvo::testhooks::setAlertLogFile({}); }
  QList<QJsonObject> alerts() const { return zuvo::test::readJsonLines(alertLog_); }
  QString alertLog_;
};

}  // namespace

TEST_F(PlaceHolderWindow, ShowsTheNamesSortedOnceEach) {
  FakeDocumentServer server;
  const struct {
    const char* name;
    QByteArray list;
    QStringList items;
  } cases[] = {
      {"order and duplicates", "<list><a>Field 10</a><b>Field 2</b><c>field 1</c><d>Field 2</d></list>",
       {"Field 2", "Field 10", "field 1"}},
      {"nesting and attributes carry no meaning", "<x y='1'><g><n>B</n></g><n2 z='q'>A</n2></x>", {"A", "B"}},
      {"whitespace between elements is a name", "<l>\n  <a>X</a>\n</l>", {"\n", "\n  ", "X"}},
      {"ampersand becomes amp", "<l><a>Tom & Jerry</a><b>&lt;</b></l>", {"Tom amp Jerry", "amplt;"}},
  };
  int n = 0;
  for (const auto& c : cases) server.route(QStringLiteral("/list%1.xml").arg(++n), FakeReply{200, {}, c.list});
  ASSERT_TRUE(server.start());
  n = 0;
  for (const auto& c : cases) {
    Window w(server.url(QStringLiteral("/list%1.xml").arg(++n)));
    QWidget* window = w.controller.window();
    EXPECT_EQ(w.items(), c.items) << c.name;
    EXPECT_TRUE(w.controller.placeholderButton->isEnabled()) << c.name;
    EXPECT_EQ(window->pos(), QPoint(50, 100)) << c.name;
  }
  EXPECT_TRUE(alerts().isEmpty());

  // A look at the window as the user gets it.
  Window w(server.url("/list1.xml"));
  w.controller.window()->show();
  const QString shot = qEnvironmentVariable("ZUVO_SCREENSHOT_DIR");
  if (!shot.isEmpty()) w.controller.window()->grab().toImage().save(shot + "/placeholder-window.png");
}

TEST_F(PlaceHolderWindow, FailedListGivesTheAlertAndLeavesThePopUpDisabled) {
  FakeDocumentServer server;
  server.route("/empty.xml", FakeReply{200, {}, ""});
  server.route("/text.xml", FakeReply{200, {}, "no xml here"});
  server.route("/broken.xml", FakeReply{200, {}, "<l><a>x</l>"});
  server.route("/latin1.xml", FakeReply{200, {}, "<l><a>Jos\xe9</a></l>"});
  server.route("/dropped.xml", FakeReply{200, {}, {}, {}, 0, true});
  ASSERT_TRUE(server.start());
  const QStringList urls{server.url("/empty.xml"), server.url("/text.xml"), server.url("/broken.xml"),
                         server.url("/latin1.xml"), server.url("/dropped.xml"), "http://127.0.0.1:1/list.xml",
                         "", "file:///etc/hostname"};
  for (const QString& url : urls) {
    const int before = int(alerts().size());
    Window w(url);
    w.controller.window();
    EXPECT_FALSE(w.controller.placeholderButton->isEnabled()) << url.toStdString();
    ASSERT_EQ(alerts().size(), before + 1) << url.toStdString();
    EXPECT_EQ(alerts().last()["message"].toString(), "Error");
    EXPECT_EQ(alerts().last()["informative"].toString(), "Getting default Placeholder list failed.");
    // Insert with nothing selected does nothing (no word processor is even asked).
    w.controller.insertButton->click();
  }
}

TEST_F(PlaceHolderWindow, ListWithEntitiesMakesNoRequest) {
  FakeDocumentServer server;
  ASSERT_TRUE(server.start());
  const QByteArray list = "<?xml version='1.0'?>\n<!DOCTYPE l [\n<!ENTITY e SYSTEM '" + server.url("/evil").toUtf8() +
                          "'>\n<!ENTITY % p SYSTEM '" + server.url("/param").toUtf8() + "'>\n%p;\n]>\n<l><a>&e;</a></l>";
  server.route("/list.xml", FakeReply{200, {}, list});
  Window w(server.url("/list.xml"));
  w.controller.window();
  zuvo::test::spin(std::chrono::milliseconds(300));
  EXPECT_EQ(server.requests().size(), 1);
  EXPECT_TRUE(server.requestsTo("/evil").isEmpty());
  EXPECT_TRUE(server.requestsTo("/param").isEmpty());
}

TEST_F(PlaceHolderWindow, InsertTypesTheTagAtTheSelection) {
  FakeWordProcessor fake;
  ASSERT_TRUE(fake.start());
  FakeDocumentServer server;
  server.route("/list.xml", FakeReply{200, {}, "<l><a>Patient Name</a><b>Date \"of\" Birth</b></l>"});
  ASSERT_TRUE(server.start());
  const QString doc = zuvo::test::makeTempDir("doc") + "/Template_T1.docx";
  zuvo::test::writeFile(doc, "Dear X,");

  Window w(server.url("/list.xml"));
  w.controller.window();
  ASSERT_EQ(w.items(), (QStringList{"Date \"of\" Birth", "Patient Name"}));
  // Open the document in the fake and select the "X".
  {
    QProcess p;
    p.start("/usr/bin/python3", {FakeWordProcessor::scriptPath(), "open", "--journal", fake.journalPath(), doc});
    ASSERT_TRUE(p.waitForFinished(20'000));
  }
  ASSERT_TRUE(zuvo::test::waitUntil([&] { return fake.documents().contains(doc); }));
  ASSERT_TRUE(fake.setSelection(doc, 5, 6));

  w.controller.placeholderButton->setCurrentIndex(1);
  w.controller.insertButton->click();
  const QString sp43(43, ' '), sp86(86, ' ');
  ASSERT_EQ(fake.scripts(), QStringList{sp43 + "tell application \"Microsoft Word\"\n" + sp86 +
                                        "set replace selection of settings to true\n" + sp43 +
                                        "type text selection text \"<<Patient Name>>\"\n" + sp43 + "end tell"});
  EXPECT_EQ(fake.text(doc), "Dear <<Patient Name>>,");

  w.controller.placeholderButton->setCurrentIndex(0);
  w.controller.insertButton->click();
  EXPECT_EQ(fake.text(doc), "Dear <<Patient Name>><<Date \"of\" Birth>>,");
}
