#include "platform/desktop/Alert.h"
#include "platform/core/TestHooks.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <thread>

TEST(Alert, RecordedInAlertLogAndAnsweredWithFirstButton) {
  const QString log = zuvo::test::makeTempDir() + "/alerts.jsonl";
  zuvo::testhooks::setAlertLogFile(log);
  EXPECT_EQ(zuvo::showAlert("Message \"1\"", "Info", {"Delete", "Cancel"}), 0);
  int fromWorker = -1;
  std::thread t([&] { fromWorker = zuvo::showAlert("Second"); });
  t.join();
  EXPECT_EQ(fromWorker, 0);
  zuvo::testhooks::setAlertLogFile({});

  const QList<QByteArray> lines = zuvo::test::readFile(log).trimmed().split('\n');
  ASSERT_EQ(lines.size(), 2);
  const QJsonObject first = QJsonDocument::fromJson(lines[0]).object();
  EXPECT_EQ(first["message"].toString(), "Message \"1\"");
  EXPECT_EQ(first["informative"].toString(), "Info");
  EXPECT_EQ(first["buttons"].toArray(), (QJsonArray{"Delete", "Cancel"}));
  EXPECT_EQ(QJsonDocument::fromJson(lines[1]).object()["buttons"].toArray(), QJsonArray{"Ok"});
}

TEST(Alert, OffscreenWithoutLogIsAnsweredWithoutBlocking) {
  zuvo::testhooks::setAlertLogFile({});
  EXPECT_EQ(zuvo::showAlert("No display", "", {"Close"}), 0);
}

// A later alert returns at once, from the main thread or a worker, and is shown (here logged)
// by the main loop in the order asked; an alert left unanswered holds no caller.
TEST(Alert, LaterAlertsReturnAtOnceAndAreShownByTheMainLoop) {
  const QString log = zuvo::test::makeTempDir() + "/alerts.jsonl";
  zuvo::testhooks::setAlertLogFile(log);
  zuvo::testhooks::setHoldAlerts(true);
  zuvo::showAlertLater("First", "Info", {"Ok", "Cancel"});
  std::thread t([] { zuvo::showAlertLater("From a worker"); });
  t.join();
  EXPECT_TRUE(zuvo::test::readFile(log).isEmpty()) << "nothing shown before the loop runs";
  ASSERT_TRUE(zuvo::test::waitUntil([&] { return zuvo::test::readFile(log).count('\n') == 2; }));
  zuvo::testhooks::setHoldAlerts(false);
  zuvo::testhooks::setAlertLogFile({});
  const QList<QByteArray> lines = zuvo::test::readFile(log).trimmed().split('\n');
  EXPECT_EQ(QJsonDocument::fromJson(lines[0]).object()["buttons"].toArray(), (QJsonArray{"Ok", "Cancel"}));
  EXPECT_EQ(QJsonDocument::fromJson(lines[1]).object()["message"].toString(), "From a worker");
}

TEST(Alert, AnswerHookChoosesTheNamedButtonAndWarningsAreLogged) {
  const QString log = zuvo::test::makeTempDir() + "/alerts.jsonl";
  zuvo::testhooks::setAlertLogFile(log);
  zuvo::testhooks::setAlertAnswer("Cancel");
  EXPECT_EQ(zuvo::showAlert("Delete?", "", {"Delete", "Cancel"}, nullptr, zuvo::AlertStyle::Warning), 1);
  EXPECT_EQ(zuvo::showAlert("No such button", "", {"Close"}), 0);
  zuvo::testhooks::setAlertAnswer("Delete");
  EXPECT_EQ(zuvo::showAlert("Delete?", "", {"Delete", "Cancel"}, nullptr, zuvo::AlertStyle::Warning), 0);
  zuvo::testhooks::setAlertAnswer({});
  zuvo::testhooks::setAlertLogFile({});

  const QList<QByteArray> lines = zuvo::test::readFile(log).trimmed().split('\n');
  ASSERT_EQ(lines.size(), 3);
  EXPECT_EQ(QJsonDocument::fromJson(lines[0]).object()["style"].toString(), "warning");
  EXPECT_FALSE(QJsonDocument::fromJson(lines[1]).object().contains("style"));
  EXPECT_FALSE(QJsonDocument::fromJson(lines[2]).object().contains("answer")) << "answered as named";
}

// A test that names no answer (or one the alert lacks) never takes a warning's step: the log
// answers with "Cancel", or with no button, and says so; other alerts get their first button.
TEST(Alert, WarningWithoutANamedAnswerIsNotAnsweredWithItsStep) {
  const struct {
    const char* name;
    QString named;
    QStringList buttons;
    zuvo::AlertStyle style;
    int answer;
    QJsonValue logged;  // its "answer", Undefined when the line has none
  } cases[] = {
      {"no answer named", {}, {"Delete", "Cancel"}, zuvo::AlertStyle::Warning, 1, "Cancel"},
      {"Cancel first", {}, {"Cancel", "Delete"}, zuvo::AlertStyle::Warning, 0, "Cancel"},
      {"named button missing", "Keep", {"Delete", "Cancel"}, zuvo::AlertStyle::Warning, 1, "Cancel"},
      {"no Cancel", {}, {"Delete"}, zuvo::AlertStyle::Warning, -1, QJsonValue::Null},
      {"not a warning", {}, {"Replace", "Cancel"}, zuvo::AlertStyle::Informational, 0, QJsonValue::Undefined},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    const QString log = zuvo::test::makeTempDir() + "/alerts.jsonl";
    zuvo::testhooks::setAlertLogFile(log);
    zuvo::testhooks::setAlertAnswer(k.named);
    EXPECT_EQ(zuvo::showAlert("Delete?", "", k.buttons, nullptr, k.style), k.answer);
    zuvo::testhooks::setAlertAnswer({});
    zuvo::testhooks::setAlertLogFile({});
    const QJsonObject line = QJsonDocument::fromJson(zuvo::test::readFile(log)).object();
    EXPECT_EQ(line["buttons"].toArray(), QJsonArray::fromStringList(k.buttons));
    EXPECT_EQ(line.value("answer"), k.logged);
  }
}

TEST(Alert, QuestionWithoutDisplayIsNotAnsweredWithItsFirstButton) {
  zuvo::testhooks::setAlertLogFile({});
  EXPECT_EQ(zuvo::showAlert("Delete?", "", {"Delete", "Cancel"}, nullptr, zuvo::AlertStyle::Warning), -1);
}
