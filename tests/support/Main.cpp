// Test main: a QApplication (offscreen) exists for every test, as in the programs.
#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  int qargc = 1;
  QApplication app(qargc, argv);
  return RUN_ALL_TESTS();
}
