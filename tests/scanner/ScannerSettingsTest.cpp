// The scan settings window in process: what it shows of the stored settings, what Save
// stores in the settings file, that Close stores nothing, and that both end the program.
#include "platform/desktop/UserDefaults.h"
#include "scanner/AppDelegate.h"
#include "scanner/GlobalData.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <gtest/gtest.h>

#include <optional>

using namespace zuvo::test;

namespace {

QString settingsFile() { return zuvo::UserDefaults::filePath(kScannerBundleIdentifier); }

// The settings file's lines as written ("isduplex=true"), without the group line.
QStringList storedLines() {
  QStringList lines;
  for (const QByteArray& line : readFile(settingsFile()).split('\n'))
    if (!line.isEmpty() && !line.startsWith('[')) lines << QString::fromUtf8(line);
  lines.sort();
  return lines;
}

struct SettingsWindow {
  explicit SettingsWindow(const QByteArray& stored) {
    QFile::remove(settingsFile());
    if (!stored.isEmpty()) {
      EXPECT_TRUE(writeFile(settingsFile(), "[General]\n" + stored));
    }
    delegate = std::make_unique<AppDelegate>(QStringList{"ZuvoScanner", "ScanSettings"});
    delegate->terminate = [this](int code) { exitCode = code; };
    delegate->applicationDidFinishLaunching();
  }
  std::unique_ptr<AppDelegate> delegate;
  std::optional<int> exitCode;
};

}  // namespace

TEST(ScannerSettings, WindowShowsStoredValues) {
  const struct {
    QByteArray stored;
    bool checked;
    QString field;
  } cases[] = {
      {"", false, ""},
      {"isduplex=true\ndpivalue=300\n", true, "300"},
      {"isduplex=false\ndpivalue=0\n", false, "0"},
      {"dpivalue=abc\n", false, "0"},
      {"isduplex=true\n", true, ""},
  };
  for (const auto& c : cases) {
    SettingsWindow w(c.stored);
    ASSERT_NE(w.delegate->settingsSheet, nullptr);
    EXPECT_EQ(w.delegate->settingsSheet->windowTitle(), "Scan Settings");
    EXPECT_TRUE(w.delegate->settingsSheet->isVisible());
    EXPECT_EQ(w.delegate->btnDuplex->isChecked(), c.checked) << c.stored.constData();
    EXPECT_EQ(w.delegate->txtDpi->text(), c.field) << c.stored.constData();
    EXPECT_EQ(w.delegate->txtDpi->accessibleName(), "Resolution (dpi)");
    EXPECT_FALSE(w.exitCode.has_value());
  }
}

TEST(ScannerSettings, SaveStoresTheFieldsNumberAndEnds) {
  const struct {
    QString typed;
    bool duplex;
    QString shownAfter;
    QStringList stored;
  } cases[] = {
      {"", false, "72", {"dpivalue=72", "isduplex=false"}},
      {"300dpi", true, "300dpi", {"dpivalue=300", "isduplex=true"}},
      {"  600", false, "  600", {"dpivalue=600", "isduplex=false"}},
      {"abc", true, "abc", {"dpivalue=0", "isduplex=true"}},
      {"-75", false, "-75", {"dpivalue=-75", "isduplex=false"}},
      {" ", false, " ", {"dpivalue=0", "isduplex=false"}},
  };
  for (const auto& c : cases) {
    SettingsWindow w("isduplex=true\ndpivalue=1200\n");
    w.delegate->txtDpi->setText(c.typed);
    w.delegate->btnDuplex->setChecked(c.duplex);
    w.delegate->btnSave_Settings->click();
    EXPECT_EQ(w.delegate->txtDpi->text(), c.shownAfter);
    EXPECT_EQ(storedLines(), c.stored) << c.typed.toStdString();
    EXPECT_EQ(w.exitCode, 0);
    EXPECT_FALSE(w.delegate->settingsSheet->isVisible());
  }
}

TEST(ScannerSettings, CloseStoresNothingAndEnds) {
  for (const QByteArray& stored : {QByteArray(), QByteArray("isduplex=true\ndpivalue=300\n")}) {
    SettingsWindow w(stored);
    const QByteArray before = readFile(settingsFile());
    w.delegate->txtDpi->setText("1200");
    w.delegate->btnDuplex->setChecked(false);
    w.delegate->btnClose_Settings->click();
    EXPECT_EQ(readFile(settingsFile()), before);
    EXPECT_EQ(QFile::exists(settingsFile()), !stored.isEmpty());
    EXPECT_EQ(w.exitCode, 0);
    EXPECT_FALSE(w.delegate->settingsSheet->isVisible());
  }
}

TEST(ScannerSettings, UnwritableSettingsFileIsReportedAndStillEnds) {
  // A folder where the file belongs: nothing can be written there, not even by root.
  ASSERT_TRUE(QDir().mkpath(settingsFile()));
  AppDelegate delegate({"ZuvoScanner", "ScanSettings"});
  std::optional<int> exitCode;
  delegate.terminate = [&](int code) { exitCode = code; };
  delegate.applicationDidFinishLaunching();
  delegate.txtDpi->setText("300");
  delegate.btnSave_Settings->click();
  EXPECT_EQ(exitCode, 1) << "settings not stored are no success";
  EXPECT_TRUE(QFileInfo(settingsFile()).isDir());
}
