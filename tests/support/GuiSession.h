// A desktop of the test's own for driving real programs as a user does: an Xvfb display and
// an accessibility (AT-SPI) bus on the test's session bus, and the AT-SPI driver script
// (tests/fixtures/atspi_driver.py) to find, press, type into and click what a window shows.
//
//   zuvo::test::GuiSession gui;
//   ASSERT_TRUE(gui.start()) << gui.error().toStdString();
//   process.setProcessEnvironment(gui.programEnvironment());
//   ASSERT_EQ(gui.drive({"press", "ZuvoScanner", "Save"}), 0);
#pragma once

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>

namespace zuvo::test {

class GuiSession {
 public:
  GuiSession();
  ~GuiSession();  // stops the display and the accessibility bus
  GuiSession(const GuiSession&) = delete;
  GuiSession& operator=(const GuiSession&) = delete;

  // Starts Xvfb on a free display and the accessibility bus; false with error() when not.
  bool start(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  QString error() const { return error_; }
  QString display() const { return display_; }

  // The environment for a program under test: this display, Qt's X11 platform with its
  // accessibility bridge on.
  QProcessEnvironment programEnvironment() const;

  // Runs the driver with these arguments; its exit code (-1 when it could not run).
  // out: what it printed; failures are explained in error().
  int drive(const QStringList& arguments, QString* out = nullptr,
            std::chrono::milliseconds timeout = std::chrono::seconds(120));

 private:
  QProcess xvfb_;
  QProcess atspi_;
  QString display_;
  QString error_;
};

}  // namespace zuvo::test
