// Table tests of the download's pure rules: token, scripts, name order, XML events.
#include "editor/DocumentToken.h"
#include "common/NumericCompare.h"
#include "editor/WordScripts.h"
#include "editor/XmlEvents.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace s = zuvo::scripts;

TEST(DocumentToken, FromTheDownloadUrl) {
  const struct {
    const char* url;
    const char* fileName;
    const char* token;  // nullptr: refused
  } cases[] = {
      {"http://h/docs/Letter_2024_ABC123.docx", "Letter_2024_ABC123.docx", "ABC123"},
      {"http://h/docs/ABC123.docx", "ABC123.docx", "ABC123"},
      {"http://h/docs/ABC123", "ABC123", "ABC123"},
      {"http://h/docs/Letter_2024_ABC123.docx?token=x_y.z", "Letter_2024_ABC123.docx", "ABC123"},
      {"http://h/docs/My%20Letter_A%20B.docx", "My Letter_A B.docx", "A B"},
      {"http://h/docs/a.b_c.d.docx", "a.b_c.d.docx", "c.d"},
      {"http://h/docs/Letter_X.docx/", "Letter_X.docx", "X"},
      {"http://h/docs/Letter_.docx", nullptr, nullptr},
      {"http://h/docs/.docx", nullptr, nullptr},
      {"http://h/docs/Letter_...docx", nullptr, nullptr},
      {"http://h/docs/Letter_..", nullptr, nullptr},
      {"http://h/docs/..", nullptr, nullptr},
      {"http://h/docs/%2E%2E", nullptr, nullptr},
      {"http://h/", nullptr, nullptr},
      {"", nullptr, nullptr},
      {"http://h/docs/x_..%2F..%2Fevil.docx", nullptr, nullptr},
      {"http://h/docs/Letter_A%2FB.docx", nullptr, nullptr},
      {"http://h/docs/Letter_A%00.docx", nullptr, nullptr},
      {"http://h/docs/Letter_A%0A.docx", nullptr, nullptr},
      {"http://h/docs/Letter%1B_A.docx", nullptr, nullptr},
  };
  for (const auto& c : cases) {
    const DocumentName n = documentNameForUrl(QUrl(QString::fromUtf8(c.url)));
    if (!c.token) {
      EXPECT_FALSE(n.ok()) << c.url << " gave " << n.token.toStdString();
      continue;
    }
    EXPECT_TRUE(n.ok()) << c.url << ": " << n.error.toStdString();
    EXPECT_EQ(n.fileName, QString::fromUtf8(c.fileName)) << c.url;
    EXPECT_EQ(n.token, QString::fromUtf8(c.token)) << c.url;
  }
}

TEST(WordScripts, PlaceholderScriptLinesAndQuoting) {
  const QString script = s::placeholderScript("/home/u/Documents/A/Letter_A.docx", "<<Name>>", "Ann Lee");
  QStringList lines = script.split('\n');
  for (QString& l : lines) l = l.trimmed();
  EXPECT_EQ(lines, (QStringList{
                       "tell application \"Microsoft Word\"",
                       "set theDocFile to POSIX file \"/home/u/Documents/A/Letter_A.docx\"",
                       "set theDocName to name of (info for theDocFile)",
                       "open theDocFile",
                       "set theDocument to document theDocName",
                       "set myRange to text object of theDocument",
                       "move end of range (text object of document 1) by a character item count -1",
                       "set myFind to find object of selection",
                       "clear formatting myFind",
                       "set match whole word of myFind to true",
                       "set match case of myFind to true",
                       "set forward of myFind to false",
                       "repeat while execute find myFind find text \"<<Name>>\"",
                       "set replace selection of settings to true",
                       "type text selection text \"Ann Lee\"",
                       "end repeat",
                       "end tell",
                   }));
  EXPECT_FALSE(script.endsWith('\n'));
  EXPECT_EQ(script.count('\n'), 16);

  const struct {
    QString text, quoted;
  } cases[] = {
      {"plain & 'simple'", "plain & 'simple'"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"C:\\dir", "C:\\\\dir"},
      {"a\r\nb\tc", "a\\r\\nb\\tc"},
      {"\" & return & \"", "\\\" & return & \\\""},
  };
  for (const auto& c : cases) EXPECT_EQ(s::quoted(c.text), c.quoted) << c.text.toStdString();
  // The path and the tag go through the same quoting.
  EXPECT_TRUE(s::placeholderScript("/a\"b", "<<x\\>>", "v").contains("POSIX file \"/a\\\"b\""));
  EXPECT_TRUE(s::placeholderScript("/a\"b", "<<x\\>>", "v").contains("find text \"<<x\\\\>>\""));
}

TEST(WordScripts, ValuesThatCouldFormTheTagGoThroughASentinel) {
  EXPECT_EQ(s::placeholderScripts("/p", "<<Name>>", "Ann"), QStringList{s::placeholderScript("/p", "<<Name>>", "Ann")});
  for (const QString value : {"Dr <<Name>>", "<<Name>", "a > b"}) {
    const QStringList two = s::placeholderScripts("/p", "<<Name>>", value);
    ASSERT_EQ(two.size(), 2) << value.toStdString();
    EXPECT_TRUE(two[0].contains("find text \"<<Name>>\""));
    EXPECT_FALSE(two[0].contains("type text selection text \"" + value));
    EXPECT_TRUE(two[1].contains("type text selection text \"" + value + "\""));
    EXPECT_FALSE(two[1].contains("find text \"<<Name>>\""));
  }
}

TEST(WordScripts, InsertionScriptIsExact) {
  const QString sp43(43, ' '), sp86(86, ' ');
  EXPECT_EQ(s::insertionScript(s::tagFor("Patient Name")),
            sp43 + "tell application \"Microsoft Word\"\n" + sp86 + "set replace selection of settings to true\n" +
                sp43 + "type text selection text \"<<Patient Name>>\"\n" + sp43 + "end tell");
  EXPECT_TRUE(s::insertionScript("<<a\"b>>").contains("text \"<<a\\\"b>>\"\n"));
}

TEST(NumericCompare, OrdersDigitRunsByValueAndCaseSensitively) {
  const struct {
    QString a, b;
    int sign;
  } cases[] = {
      {"Field 2", "Field 10", -1}, {"Field 10", "field 1", -1}, {"Field 2", "field 1", -1},
      {"a", "a", 0},               {"a", "ab", -1},             {"a9", "a10", -1},
      {"a010", "a9", 1},           {"a01", "a1", 0},            {"x2y3", "x2y10", -1},
      {"1", "a", -1},              {"Z", "a", -1},              {"", "a", -1},
      {"99999999999999999999999", "100000000000000000000000", -1},
      {"Field", "Field 1", -1},
  };
  for (const auto& c : cases) {
    const int r = zuvo::numericCompare(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a.toStdString() << " vs " << c.b.toStdString();
    const int back = zuvo::numericCompare(c.b, c.a);
    EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b.toStdString() << " vs " << c.a.toStdString();
  }
  QStringList names{"field 1", "Field 10", "Field 2"};
  std::stable_sort(names.begin(), names.end(), zuvo::numericLess);
  EXPECT_EQ(names, (QStringList{"Field 2", "Field 10", "field 1"}));
}

TEST(XmlEvents, ReportsPiecesAndRefusesBrokenDocuments) {
  QStringList events;
  const XmlEvents record{
      [&](const QString& n) { events << "start " + n; },
      [&](const QString& t) { events << "text " + t; },
      [&](const QString& n) { events << "end " + n; },
      [&] { events << "done"; },
      [&](const QString&) { events << "error"; },
  };
  EXPECT_TRUE(parseXml("<?xml version='1.0'?>\n<a x='1'><b>v</b><c/></a>\n", record));
  EXPECT_EQ(events, (QStringList{"start a", "start b", "text v", "end b", "start c", "end c", "end a", "done"}));
  for (const QByteArray& bad : {QByteArray(), QByteArray("   "), QByteArray("not xml"), QByteArray("<a>"),
                               QByteArray("<a></b>"), QByteArray("<a>&x;</a>"), QByteArray("<a/><b/>")}) {
    events.clear();
    EXPECT_FALSE(parseXml(bad, record)) << bad.constData();
    EXPECT_FALSE(events.contains("done")) << bad.constData();
  }
}
