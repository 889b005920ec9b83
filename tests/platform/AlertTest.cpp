#include "platform/Alert.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <thread>

TEST(Alert, RecordedInAlertLogAndAnsweredWithFirstButton) {
  const QString log = zuvo::test::makeTempDir() + "/alerts.jsonl";
  qputenv("ZUVO_ALERT_LOG", log.toLocal8Bit());
  EXPECT_EQ(zuvo::showAlert("Message \"1\"", "Info", {"Delete", "Cancel"}), 0);
  int fromWorker = -1;
  std::thread t([&] { fromWorker = zuvo::showAlert("Second"); });
  t.join();
  EXPECT_EQ(fromWorker, 0);
  qunsetenv("ZUVO_ALERT_LOG");

  const QList<QByteArray> lines = zuvo::test::readFile(log).trimmed().split('\n');
  ASSERT_EQ(lines.size(), 2);
  const QJsonObject first = QJsonDocument::fromJson(lines[0]).object();
  EXPECT_EQ(first["message"].toString(), "Message \"1\"");
  EXPECT_EQ(first["informative"].toString(), "Info");
  EXPECT_EQ(first["buttons"].toArray(), (QJsonArray{"Delete", "Cancel"}));
  EXPECT_EQ(QJsonDocument::fromJson(lines[1]).object()["buttons"].toArray(), QJsonArray{"Ok"});
}

TEST(Alert, OffscreenWithoutLogIsAnsweredWithoutBlocking) {
  qunsetenv("ZUVO_ALERT_LOG");
  EXPECT_EQ(zuvo::showAlert("No display", "", {"Close"}), 0);
}
