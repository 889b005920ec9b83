// What a notification gives the document controller, and the receiver's side of the bus.
#include "editor/AppDelegate.h"
#include "editor/GlobalData.h"
#include "editor/ViewControllers/DocumentEditController.h"
#include "common/EditorNotificationReceiver.h"
#include "support/EditorProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

using namespace zuvo::test;

TEST(Dispatch, IsNewDocIsDescribedAsTheOriginalPlatformDid) {
  const struct { QVariant value; const char* text; } cases[] = {
      {QVariant(0), "0"},
      {QVariant(qint64(0)), "0"},
      {QVariant(QString("0")), "0"},
      {QVariant(0.0), "0"},
      {QVariant(false), "0"},
      {QVariant(true), "1"},
      {QVariant(12), "12"},
      {QVariant(uint(7)), "7"},
      {QVariant(-3.0), "-3"},
      {QVariant(1.5), "1.5"},
      {QVariant(QString("yes")), "yes"},
      {QVariant(QString("")), ""},
      {QVariant(), "(null)"},
  };
  for (const auto& c : cases) {
    QVariantMap info{{"action", "DownloadDoc"}};
    if (c.value.isValid()) info.insert("is_new_doc", c.value);
    const auto controller = AppDelegate::controllerForNotification("DownloadDoc", info);
    EXPECT_EQ(controller->is_new_doc, c.text) << c.value.toString().toStdString();
  }
}

TEST(Dispatch, UrlsOfAnotherTypeCountAsAbsent) {
  const QVariant wrong[] = {QVariant(5), QVariant(true), QVariant(QStringList{"http://h/a.docx"}),
                            QVariant(QVariantMap{{"u", "http://h/a.docx"}}), QVariant(2.5)};
  for (const QVariant& value : wrong) {
    const QVariantMap info{{"download_url", value}, {"placeholder_url", value},
                           {"upload_url", value},   {"xml_path", value}};
    const auto controller = AppDelegate::controllerForNotification("Template", info);
    EXPECT_FALSE(controller->download_url.has_value()) << value.typeName();
    EXPECT_FALSE(controller->placeholder_url.has_value());
    EXPECT_FALSE(controller->upload_url.has_value());
    EXPECT_FALSE(controller->xml_path.has_value());
    EXPECT_TRUE(controller->is_template_doc);
  }
}

TEST(Dispatch, TemplateTakesXmlPathAndDownloadDocDoesNot) {
  const QVariantMap info{{"upload_url", "http://h/"}, {"download_url", "http://h/d/L_1.docx"},
                         {"placeholder_url", "http://h/p.xml"}, {"is_new_doc", "1"},
                         {"xml_path", "http://h/x.xml"}};
  const auto doc = AppDelegate::controllerForNotification("DownloadDoc", info);
  EXPECT_EQ(doc->upload_url, QString("http://h/"));
  EXPECT_EQ(doc->download_url, QString("http://h/d/L_1.docx"));
  EXPECT_EQ(doc->placeholder_url, QString("http://h/p.xml"));
  EXPECT_EQ(doc->is_new_doc, "1");
  EXPECT_FALSE(doc->is_template_doc);
  EXPECT_FALSE(doc->xml_path.has_value());

  const auto tmpl = AppDelegate::controllerForNotification("Template", info);
  EXPECT_TRUE(tmpl->is_template_doc);
  EXPECT_EQ(tmpl->xml_path, QString("http://h/x.xml"));
}

TEST(Dispatch, LastPathComponent) {
  const struct { const char* in; const char* out; } cases[] = {
      {"http://h/a/Letter_1.docx", "Letter_1.docx"}, {"http://h/a/dir/", "dir"},
      {"name.docx", "name.docx"}, {"", ""}, {"/", "/"}, {"http://h/a?x=1/y", "y"},
  };
  for (const auto& c : cases) EXPECT_EQ(lastPathComponent(c.in), c.out) << c.in;
}

TEST(Receiver, DeliversUserInformationIntactForItsObjectOnly) {
  std::vector<QVariantMap> received;
  zuvo::EditorNotificationReceiver receiver([&](const QVariantMap& info) { received.push_back(info); });
  ASSERT_TRUE(receiver.isRegistered());
  const QVariantMap nested{{"k", QStringList{"a", "b"}}};
  EditorProcess::post({{"action", "Other"}}, "com.roza.other");
  EditorProcess::post({{"action", "PrintDoc"},
                       {"file_path", QStringList{"http://h/1.docx", "http://h/2.docx"}},
                       {"urls", QVariantList{"http://h/3.docx", qint64(4)}},
                       {"n", 0}, {"b", true}, {"map", nested}});
  ASSERT_TRUE(waitUntil([&] { return !received.empty(); }));
  spin(std::chrono::milliseconds(200));
  ASSERT_EQ(received.size(), 1u);
  const QVariantMap& info = received.front();
  EXPECT_EQ(info.value("action").toString(), "PrintDoc");
  EXPECT_EQ(info.value("file_path").toStringList(), (QStringList{"http://h/1.docx", "http://h/2.docx"}));
  EXPECT_EQ(info.value("urls").toList(), (QVariantList{"http://h/3.docx", qint64(4)}));
  EXPECT_EQ(zuvo::describeNotificationValue(info.value("n")), "0");
  EXPECT_EQ(zuvo::describeNotificationValue(info.value("b")), "1");
  EXPECT_EQ(info.value("map").toMap().value("k").toStringList(), (QStringList{"a", "b"}));
}

TEST(ControllerLifetime, ReleasedWhenItsThreadEnds) {
  std::weak_ptr<DocumentEditController> weak;
  {
    auto controller = AppDelegate::controllerForNotification("DownloadDoc", {});
    weak = controller;
    controller->start();
  }
  EXPECT_TRUE(waitUntil([&] { return weak.expired(); }));
}

TEST(GlobalDataPaths, AllUnderTheDataFolderOfTheApplicationSupportFolder) {
  const GlobalData& data = GlobalData::sharedGlobalData();
  const QString as = qEnvironmentVariable("XDG_DATA_HOME");
  EXPECT_EQ(data.applicationSupportDirectory(), as);
  EXPECT_EQ(data.getDocumentDownloadPath(), as + "/ZuvoDocV30/Data/ZuvoEditor/Documents/");
  EXPECT_EQ(data.getBackupDocumentPath(), as + "/ZuvoDocV30/Data/ZuvoEditor/Backup");
  EXPECT_EQ(data.getTempDirectoryPath(), as + "/ZuvoDocV30/Data/tmp");
  EXPECT_EQ(data.getDatabasePath(), as + "/ZuvoDocV30/Data/ZuvoEditor/ZuvoEditor.sqlite");
  EXPECT_EQ(data.getDocumentDownloadURL(), QUrl::fromLocalFile(as + "/ZuvoDocV30/Data/ZuvoEditor/Documents/"));
  EXPECT_TRUE(data.getDocumentDownloadURL().toString().endsWith("/Documents/"));
  EXPECT_EQ(data.getTempDirectoryURL().toLocalFile(), as + "/ZuvoDocV30/Data/tmp");
}
