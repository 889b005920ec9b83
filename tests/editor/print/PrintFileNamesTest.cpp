// Names of the print downloads in Data/tmp: whatever the server suggests, the file lands
// inside the folder, and equal names never share one file.
#include "editor/DocumentPrintController.h"

#include <QSet>
#include <gtest/gtest.h>

TEST(PrintFileNames, ServerSuggestionIsReducedToOnePlainName) {
  struct Case {
    QString suggested;
    QString url;
    QString expected;
  } cases[] = {
      {"Letter_2024.docx", "http://h/dl?id=1", "Letter_2024.docx"},
      {"b c.docx", "http://h/x.docx", "b c.docx"},
      {"../../.bashrc", "http://h/x.docx", ".bashrc"},
      {"/etc/passwd", "http://h/x.docx", "passwd"},
      {"..\\..\\evil.docx", "http://h/x.docx", "evil.docx"},
      {"dir/sub\\name.pdf", "http://h/x.docx", "name.pdf"},
      {"..", "http://h/files/report.pdf", "report.pdf"},
      {".", "http://h/files/report.pdf", "report.pdf"},
      {"", "http://h/files/report.pdf", "report.pdf"},
      {"a/", "http://h/files/report.pdf", "report.pdf"},
      {QString("bad\nname.docx"), "http://h/files/report.pdf", "report.pdf"},
      {QString("tab\tname"), "http://h/files/report.pdf", "report.pdf"},
      {QString("del\x7f"), "http://h/files/report.pdf", "report.pdf"},
      {QString::fromUtf8("c1\xc2\x85"), "http://h/files/report.pdf", "report.pdf"},
      {"Brief ä ✓.docx", "http://h/x", "Brief ä ✓.docx"},
      // The URL stands in under the same rule; percent-escapes are undone first.
      {"..", "http://h/files/..%2F..%2Fup.docx", "up.docx"},
      {"..", "http://h/files/a%5Cb.docx", "b.docx"},
      {"..", "http://h/files/%0A", "document"},
      {"..", "http://h/", "document"},
      {"", "http://h", "document"},
      {"..", "http://h/files/..", "document"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suggested.toStdString() + " | " + c.url.toStdString());
    EXPECT_EQ(DocumentPrintController::storedFileName(c.suggested, QUrl(c.url)), c.expected);
  }
}

TEST(PrintFileNames, TakenNamesGetANumberBeforeTheExtension) {
  struct Case {
    QString name;
    QStringList taken;
    QString expected;
  } cases[] = {
      {"a.docx", {}, "a.docx"},
      {"a.docx", {"a.docx"}, "a-1.docx"},
      {"a.docx", {"a.docx", "a-1.docx", "a-2.docx"}, "a-3.docx"},
      {"a.tar.gz", {"a.tar.gz"}, "a.tar-1.gz"},
      {"README", {"README"}, "README-1"},
      {".bashrc", {".bashrc"}, ".bashrc-1"},
      {"a.docx", {"a-1.docx"}, "a.docx"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name.toStdString());
    const QSet<QString> taken(c.taken.begin(), c.taken.end());
    EXPECT_EQ(DocumentPrintController::uniqueFileName(c.name, [&](const QString& n) { return taken.contains(n); }),
              c.expected);
  }
}
