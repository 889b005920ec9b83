// The scanner's pure rules: launch arguments, the settings field's number, the resolution
// choice, the unit titles and the value transformers.
#include "platform/scan/ScannerDevice.h"
#include "scanner/LaunchArguments.h"
#include "scanner/ScanRules.h"
#include "scanner/ValueTransformers.h"

#include <QImage>
#include <gtest/gtest.h>

#include <climits>
#include <optional>

using Mode = LaunchRequest::Mode;

TEST(ScannerRules, LaunchArgumentsAreDataReadByPosition) {
  const std::optional<QString> none;
  const struct Case {
    QStringList args;
    Mode mode;
    std::optional<QString> token, url, flag;
  } cases[] = {
      {{"/p/ZuvoScanner", "ScanDoc", "T1", "https://h/u", "false", "7", "Doe", "1970-01-01"}, Mode::ScanDoc,
       QString("T1"), QString("https://h/u"), QString("false")},
      {{"p", "ScanDoc", "T1", "U"}, Mode::ScanDoc, QString("T1"), QString("U"), none},
      {{"p", "ScanDoc", "T", "U", "TRUE"}, Mode::ScanDoc, QString("T"), QString("U"), QString("TRUE")},
      // What Qt would take for its own options stays the request's data.
      {{"p", "ScanDoc", "-platform", "-reverse", "-style"}, Mode::ScanDoc, QString("-platform"),
       QString("-reverse"), QString("-style")},
      {{"p", "ScanDoc", "", ""}, Mode::ScanDoc, QString(""), QString(""), none},
      {{"p", "ScanSettings"}, Mode::ScanSettings, none, none, none},
      {{"p", "ScanSettings", "T", "U", "true"}, Mode::ScanSettings, none, none, none},
      {{"p", "ScanDoc"}, Mode::Invalid, none, none, none},
      {{"p", "ScanDoc", "T"}, Mode::Invalid, none, none, none},
      {{"p", "scandoc", "T", "U", "true"}, Mode::Invalid, none, none, none},
      {{"p", "Scandoc", "T", "U"}, Mode::Invalid, none, none, none},
      {{"p", "SCANSETTINGS"}, Mode::Invalid, none, none, none},
      {{"p", "ScanSettings "}, Mode::Invalid, none, none, none},
      {{"p", ""}, Mode::Invalid, none, none, none},
      {{"p"}, Mode::Invalid, none, none, none},
      {{}, Mode::Invalid, none, none, none},
  };
  for (const Case& c : cases) {
    const LaunchRequest r = parseLaunchArguments(c.args);
    const std::string where = c.args.join(" | ").toStdString();
    EXPECT_EQ(r.mode, c.mode) << where;
    EXPECT_EQ(r.token, c.token) << where;
    EXPECT_EQ(r.uploadUrl, c.url) << where;
    EXPECT_EQ(r.scanFlag, c.flag) << where;
    EXPECT_EQ(r.error.isEmpty(), c.mode != Mode::Invalid) << where;
  }
}

TEST(ScannerRules, IntegerValueOfTextReadsLeadingNumber) {
  const struct {
    const char* text;
    int value;
  } cases[] = {
      {"300", 300},   {"300dpi", 300}, {"  150", 150},       {"\t\n 42x", 42},   {"-15", -15},
      {"+600", 600},  {"abc", 0},      {"", 0},              {"  ", 0},          {"- 5", 0},
      {"3 00", 3},    {"0072", 72},    {"1e3", 1},           {"12.9", 12},       {"--1", 0},
      {"99999999999999999999", INT_MAX}, {"-99999999999999999999", INT_MIN}, {"2147483647", INT_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(integerValueOfText(QString::fromUtf8(c.text)), c.value) << c.text;
}

TEST(ScannerRules, ResolutionIsFirstAtOrAboveElseHighest) {
  const QList<int> common{75, 150, 300, 600};
  const struct {
    QList<int> supported;
    qint64 atLeast;
    int chosen;
  } cases[] = {
      {common, 300, 300}, {common, 200, 300}, {common, 0, 75},    {common, -20, 75},
      {common, 601, 600}, {common, 100000, 600}, {{50, 75, 150}, 72, 75}, {{600, 75, 300}, 100, 300},
      {{1200}, 72, 1200}, {{}, 300, zuvo::scan::kNoResolution},
  };
  for (const auto& c : cases) EXPECT_EQ(zuvo::scan::chooseResolution(c.supported, c.atLeast), c.chosen) << c.atLeast;
}

TEST(ScannerRules, FunctionalUnitTitlesExactly) {
  EXPECT_EQ(functionalUnitTitle(0), QString("Flatbed"));
  EXPECT_EQ(functionalUnitTitle(1), QString("Postive Transparency"));
  EXPECT_EQ(functionalUnitTitle(2), QString("Negative Transparency"));
  EXPECT_EQ(functionalUnitTitle(3), QString("Document Feeder"));
  EXPECT_EQ(functionalUnitTitle(4), std::nullopt);
  EXPECT_EQ(functionalUnitTitle(-1), std::nullopt);
}

TEST(ScannerRules, TransformersTitleByNonZeroNumbersOnly) {
  using namespace ValueTransformers;
  const struct {
    QVariant value;
    bool active;
  } cases[] = {
      {QVariant(), false},         {QVariant(0), false},      {QVariant(false), false}, {QVariant(0.5), false},
      {QVariant("1"), false},      {QVariant("yes"), false},  {QVariant(1), true},      {QVariant(true), true},
      {QVariant(-3), true},        {QVariant(2.7), true},     {QVariant(qint64(1) << 40), true},
  };
  for (const auto& c : cases) {
    const std::string what = (c.value.toString() + " " + QString::fromLatin1(c.value.typeName())).toStdString();
    EXPECT_EQ(OpenControlTitle(c.value), c.active ? "Close" : "Open") << what;
    EXPECT_EQ(OverviewControlTitle(c.value), c.active ? "Cancel" : "Overview") << what;
    EXPECT_EQ(ScanControlTitle(c.value), c.active ? "Cancel" : "Scan") << what;
  }
}

TEST(ScannerRules, ImageTransformerKeepsPixelSizeAndNothingStaysNothing) {
  EXPECT_TRUE(ValueTransformers::CGImageRefToNSImageTransformer(QImage()).isNull());
  QImage image(123, 45, QImage::Format_RGB32);
  image.fill(Qt::red);
  const QPixmap picture = ValueTransformers::CGImageRefToNSImageTransformer(image);
  EXPECT_EQ(picture.size(), QSize(123, 45));
}
