#include "common/DocumentUpload.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QDir>
#include <sys/stat.h>

using namespace zuvo;

namespace {
const QByteArray kDelimiter = "--" + QByteArray(27, '-') + "14737809831466499882746641449";

QByteArray expectedBody(const QByteArray& name, const QByteArray& content,
                        const QByteArray& trailer = {}) {
  return "\r\n" + kDelimiter + "\r\n" +
         "Content-Disposition: form-data; name=\"file\"; filename=\"" + name + "\"\r\n" +
         "Content-Type: application/octet-stream\r\n\r\n" + content + "\r\n" + kDelimiter +
         "--\r\n" + trailer;
}
}  // namespace

TEST(DocumentUpload, ContentTypeCarriesTheFixedBoundary) {
  EXPECT_EQ(upload::multipartContentType(),
            "multipart/form-data; boundary=---------------------------14737809831466499882746641449");
  EXPECT_EQ(QByteArray(upload::kBoundary).size(), 56);
}

TEST(DocumentUpload, BodiesByteForByte) {
  const QByteArray binary("a\r\nb\0c\xff\r\n--", 11);
  struct Case {
    QString name;
    QByteArray content, trailer, expected;
  } cases[] = {
      {"Letter_2024_ABC123.docx", binary, {}, expectedBody("Letter_2024_ABC123.docx", binary)},
      {QString::fromUtf8("Brief \"Müller\"_ÄÖ.docx"), "x", {},
       expectedBody("Brief \"M\xc3\xbcller\"_\xc3\x84\xc3\x96.docx", "x")},
      {"empty.docx", {}, {}, expectedBody("empty.docx", {})},
      // The scanner's form: part named after the token, the token's bytes after the end.
      {"View_TOK42", "%PDF", "TOK42", expectedBody("View_TOK42", "%PDF", "TOK42")},
  };
  for (const Case& c : cases)
    EXPECT_EQ(upload::multipartBody(c.name, c.content, c.trailer), c.expected) << c.name.toStdString();
}

TEST(DocumentUpload, FromFileReadsNowAndRefusesWhatCannotBeRead) {
  const QString dir = test::makeTempDir();
  const QByteArray content("\x00\xff\r\n\x01", 5);
  ASSERT_TRUE(test::writeFile(dir + "/doc.docx", content));
  QString error;
  EXPECT_EQ(upload::multipartBodyFromFile("doc.docx", dir + "/doc.docx", {}, &error),
            expectedBody("doc.docx", content));
  EXPECT_EQ(upload::multipartBodyFromFile("View_T", dir + "/doc.docx", "T"),
            expectedBody("View_T", content, "T"));

  ASSERT_TRUE(QDir().mkdir(dir + "/folder"));
  ASSERT_EQ(mkfifo(QFile::encodeName(dir + "/fifo").constData(), 0600), 0);
  for (const QString& bad : {dir + "/missing.docx", dir + "/folder", dir + "/fifo"}) {
    error.clear();
    EXPECT_FALSE(upload::multipartBodyFromFile("doc.docx", bad, {}, &error)) << bad.toStdString();
    EXPECT_TRUE(error.startsWith(bad)) << error.toStdString();
  }
}

TEST(DocumentUpload, StatusBodiesCarryValuesUnencoded) {
  EXPECT_EQ(upload::statusBody("upload", "ABC123", "Letter_2024_ABC123.docx"),
            "Status=upload&token=ABC123&FileName=Letter_2024_ABC123.docx");
  EXPECT_EQ(upload::statusBody("close", "a+b&c", QString::fromUtf8("Brief Müller 50%.docx")),
            "Status=close&token=a+b&c&FileName=Brief M\xc3\xbcller 50%.docx");
  EXPECT_EQ(upload::statusBody("Completed", "TOK42"), "Status=Completed&token=TOK42");
}
